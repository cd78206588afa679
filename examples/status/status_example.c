/* A counted job in the status window, then a dialog with a worker thread.
 *
 *   status_example [FRAMES]
 *
 * With a display the windows are real: Cancel (or closing the window, or Escape) asks whether to
 * stop. From a terminal without one, the job is a progress line: Ctrl-C asks, Enter presses
 * "Done". */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "kroutil/dialog.h"
#include "kroutil/status.h"

static void* const instance = (void*)(uintptr_t)0x5A17;
static volatile int stopWorker = 0, workerEnded = 0;
static int workerSteps = 150;

static void pause10ms(void) {
    struct timespec t = {0, 10 * 1000 * 1000};
    nanosleep(&t, NULL);
}

static volatile int jobCancelled = 0;

/* Called once the user confirmed the cancel question. */
static void onCancel(void) { jobCancelled = 1; }

/* The worker: counts in the background until it is done or asked to stop. */
static int32_t worker(void* user, void* dialog) {
    int* done = (int*)user;
    int i;
    (void)dialog;
    for (i = 0; i < workerSteps && !stopWorker; i++) {
        pause10ms();
        pause10ms();
        *done = i + 1;
    }
    workerEnded = 1;
    /* 0: the dialog waits for "Done" so the user sees the end. */
    return 0;
}

/* Commands of the dialog: Cancel (or closing it) while the worker runs asks first; afterwards
 * the button reads "Done" and closes. */
static int32_t command(int32_t id, void* dialog) {
    (void)dialog;
    if (id == 2 && !stopWorker && !workerEnded) {
        if (KroDialogAsk("Stop the worker?", 0) == 1) stopWorker = 1;
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    int frames = argc > 1 ? atoi(argv[1]) : 60;
    int i, counted = 0;
    char text[64];
    KroDialogItem items[3];
    KroDialogTemplate dialogTemplate;

    if (frames < 1) frames = 1;
    StatusInit(instance, NULL, 0);
    if (!StatusOpen("Status example", "counting frames", onCancel)) {
        fprintf(stderr, "the status window could not be opened\n");
        return 1;
    }
    for (i = 1; i <= frames; i++) {
        snprintf(text, sizeof text, "Frame %d of %d", i, frames);
        /* StatusSet also handles the window's messages: a confirmed cancel calls onCancel, and a
         * window that is gone gives 1. */
        if (StatusSet(text) || jobCancelled) break;
        pause10ms();
        pause10ms();
        pause10ms();
        pause10ms();
        pause10ms();
        counted = i;
    }
    /* Waits for "Done" unless the job was cancelled. */
    StatusClose(jobCancelled ? 0 : 1);
    printf("counted %d of %d frames%s\n", counted, frames, jobCancelled ? " (cancelled)" : "");

    items[0].kind = 0;
    items[0].id = 100;
    items[0].text = "The worker counts in the background.";
    items[0].x = 12;
    items[0].y = 14;
    items[0].width = 300;
    items[0].height = 16;
    items[1].kind = 0;
    items[1].id = 101;
    items[1].text = "Cancel stops it; Done closes.";
    items[1].x = 12;
    items[1].y = 36;
    items[1].width = 300;
    items[1].height = 16;
    items[2].kind = 1;
    items[2].id = 2;
    items[2].text = "&Cancel";
    items[2].x = 124;
    items[2].y = 64;
    items[2].width = 72;
    items[2].height = 26;
    dialogTemplate.title = "Worker example";
    dialogTemplate.width = 320;
    dialogTemplate.height = 100;
    dialogTemplate.items = items;
    dialogTemplate.itemCount = 3;
    KroDialogSetTemplate(instance, &dialogTemplate);
    {
        int done = 0;
        int32_t result = KroDialogInit(instance, NULL, &done, 5 /* show */, 0, worker, command);
        printf("the worker counted %d of %d steps (result %d)\n", done, workerSteps, (int)result);
    }
    return 0;
}
