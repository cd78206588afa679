/* The status window: a small progress window for long jobs (caption, status line, detail line,
 * Cancel button), message boxes and yes/no questions owned by it, and a log-file helper. Runs
 * on the caller's thread: its messages are handled inside these calls. Without a display it is
 * a progress line on a terminal (Ctrl-C asks whether to cancel), or, for tests, lines in the
 * capture log with questions answered from TORVEX_ANSWERS. */
#ifndef KROUTIL_STATUS_H
#define KROUTIL_STATUS_H

#include <stdint.h>

#include "kroutil/export.h"

KRO_BEGIN_DECLS

/* The status callback the media families report through: levels 0 progress text, 1 the first
 * progress text of a phase, 2 error, 3 the user declined to overwrite (text null: treat it as
 * ""), 4 warning to show the user. A non-zero answer to a progress text means "cancel". */
#ifndef KROUTIL_STATUS_PROC_DEFINED
#define KROUTIL_STATUS_PROC_DEFINED
typedef int32_t (*KroStatusProc)(const char* text, int32_t level);
#endif

/* Called once when the user confirms a cancel. */
typedef void (*KroCancelProc)(void);

/* Remembers the module instance (it names the window class), the caller's main window (it gets
 * the closing summary and owns boxes while the status window is hidden; may be null) and
 * whether StatusClose may wait for the user (noWait 0). Returns the instance. */
KRO_API void* StatusInit(void* instance, void* owner, int32_t noWait);
/* Creates the (still hidden) window; 1 on success, 0 when it cannot be made. Starts a new job:
 * the cancelled state of an earlier one is forgotten. */
KRO_API int32_t StatusOpen(const char* caption, const char* detail, KroCancelProc cancel);
/* Shows the window (unless minimised), sets the status text (null = "") and handles waiting
 * messages. 0 without a window, else StatusCheck's result. */
KRO_API int32_t StatusSet(const char* text);
/* Handles the waiting messages; 1 when the window is gone, else 0. */
KRO_API int32_t StatusCheck(void);
/* A message box with the status window's caption: icon of an error when error's low byte is
 * non-zero, else of information. */
KRO_API int32_t StatusMessage(const char* text, int32_t error);
KRO_API int32_t StatusMessageTitle(const char* text, const char* caption, int32_t error);
/* A yes/no question (No the default when defaultNo's low byte is non-zero); 1 for Yes. */
KRO_API int32_t StatusAsk(const char* question, int32_t defaultNo);
/* Asks "Do you want to cancel?" unless the job is cancelled already; 1 when it is (now). */
KRO_API int32_t StatusDoCancel(void);
/* Closes the window; with wait (and noWait 0) a visible window first turns its button into
 * "Done" and stays until the user presses it or closes the window. 1 when the window class
 * could be unregistered. */
KRO_API int32_t StatusClose(int32_t wait);
/* The status window while it exists and is visible, else the owner window. */
KRO_API void* StatusGetHWND(void);
/* Appends text to a file, creating it when it does not exist. */
KRO_API void LogString(const char* fileName, const char* text);

KRO_END_DECLS

#endif
