/* The Windows form of tests/support/planted_library.c: a DLL that someone
   plants in the folder a host starts the helper in. If it is ever loaded,
   it leaves a mark in that folder. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE mark = CreateFileA("planted-library-ran", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
    }
    return TRUE;
}
