/* The dialog thread: a caller's dialog runs its message loop on the calling thread while the
 * caller's worker runs on a second thread. The dialog's look comes from a template the caller
 * registers for its module instance. */
#ifndef KROUTIL_DIALOG_H
#define KROUTIL_DIALOG_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

/* One item of a dialog: a label (kind 0) or a push button (kind 1, '&' marks its key letter),
 * at x, y in the dialog's client area, in pixels. A button with id 2 is the dialog's Cancel
 * (Escape presses it); the first button is the default one (Enter). */
typedef struct KroDialogItem {
    int32_t kind; /* 0 label, 1 button */
    int32_t id;
    const char *text;
    int32_t x, y, width, height;
} KroDialogItem;

/* The dialog: its title, the client area's size in pixels, its items. */
typedef struct KroDialogTemplate {
    const char *title;
    int32_t width, height;
    const KroDialogItem *items;
    int32_t itemCount;
} KroDialogTemplate;

/* Runs on the second thread with the caller's user value and the dialog; its result ends
 * KroDialogInit (non-zero: the dialog closes by itself; 0: it waits for "Done"). */
typedef int32_t (*KroDialogWorker)(void *user, void *dialog);
/* A command of the dialog (a button's id; 2 when the user closes it while the worker runs);
 * non-zero keeps the dialog open. */
typedef int32_t (*KroDialogCommand)(int32_t id, void *dialog);
typedef void (*KroDialogTimerProc)(void *dialog);
/* Sees every message of the dialog first; a non-zero result is used instead of the usual
 * handling. */
typedef intptr_t (*KroDialogFilter)(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam);

/* Registers (or, with null, removes) the dialog template of a module instance. The template is
 * copied. */
KRO_API void KroDialogSetTemplate(void *instance, const KroDialogTemplate *dialogTemplate);
/* Shows the instance's dialog, starts worker(user, dialog) on a second thread and handles the
 * dialog's messages until it is destroyed. Returns the worker's result (1 while the worker has
 * not given one), or 0 when the dialog cannot be created. */
KRO_API int32_t KroDialogInit(void *instance, void *owner, void *user, int32_t showCommand, int32_t autoClose,
                              KroDialogWorker worker, KroDialogCommand command);
/* A question owned by the dialog: Yes/No, or Yes/No/Cancel when style without its low five
 * bits is 32. 1 Yes, 0 No, 2 anything else. Either thread. */
KRO_API int32_t KroDialogAsk(const char *text, int32_t style);
/* An information box: OK, or OK/Cancel when 32 <= style < 64. 0 for OK, else 2. Either thread. */
KRO_API int32_t KroDialogMessage(const char *text, int32_t style);
/* Installs the message filter (null removes it); returns it. */
KRO_API KroDialogFilter KroDialogSetFilter(KroDialogFilter filter);
/* Calls callback(dialog) every milliseconds on the dialog's thread; returns the timer's id, 0
 * without a dialog. */
KRO_API uintptr_t KroDialogSetTimer(KroDialogTimerProc callback, uint32_t milliseconds);

KRO_END_DECLS

#endif
