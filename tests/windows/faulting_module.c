/* A CPU module that, asked for its score, faults as DEBRINDLE_FAULT says:
   "in_page", "access_violation", or "abort" (the engine DLLs' C run time). */
#include <stdlib.h>
#include <windows.h>

__declspec(dllexport) int ggml_backend_score(void) {
    char fault[32] = "";
    GetEnvironmentVariableA("DEBRINDLE_FAULT", fault, sizeof fault);
    if (lstrcmpA(fault, "in_page") == 0) RaiseException(EXCEPTION_IN_PAGE_ERROR, EXCEPTION_NONCONTINUABLE, 0, NULL);
    if (lstrcmpA(fault, "abort") == 0) abort(); /* msvcrt's, as the MinGW-built engine's */
    *(volatile int*)NULL = 0;
    return 0;
}
