/* Does a 32-bit Wine process survive an exception raised in a thread that
 * is not the one started last? Exit code 0 when it does.
 *
 * Under qemu-user (7.2) it does not: the TLS descriptors that set_thread_area
 * fills sit in one GDT shared by every thread of the process, so the %fs slot
 * that 32-bit Wine gives each thread its TEB through holds the newest
 * thread's TEB. Wine reloads %fs when it dispatches an exception; the raising
 * thread then walks the newest thread's handler chain and the process dies
 * ("Got unexpected trap -1", then c000001d). Wine's own programs raise such
 * exceptions (RPC calls to a service not yet running, OutputDebugString), so
 * its desktop process, explorer.exe, dies as soon as it starts, and with it
 * every window of the 32-bit prefix (X BadWindow).
 *
 * Built by tests/wine/session.sh with the i686 MinGW compiler; no headers of
 * the project. */
#include <windows.h>

static HANDLE release;

static LONG CALLBACK resume_after_probe(EXCEPTION_POINTERS *e)
{
    return e->ExceptionRecord->ExceptionCode == 0xE0000001 ? EXCEPTION_CONTINUE_EXECUTION
                                                           : EXCEPTION_CONTINUE_SEARCH;
}

static DWORD WINAPI raiser(LPVOID unused)
{
    (void)unused;
    RaiseException(0xE0000001, 0, 0, NULL);
    return 7;
}

static DWORD WINAPI waiter(LPVOID unused)
{
    (void)unused;
    WaitForSingleObject(release, 10000);
    return 7;
}

int main(void)
{
    HANDLE older, newer;
    DWORD code = 0;

    AddVectoredExceptionHandler(1, resume_after_probe);
    release = CreateEventA(NULL, TRUE, FALSE, NULL);
    older = CreateThread(NULL, 0, raiser, NULL, CREATE_SUSPENDED, NULL);
    newer = CreateThread(NULL, 0, waiter, NULL, 0, NULL);
    if (!release || !older || !newer)
        return 2;
    Sleep(500); /* the newer thread is in its wait */
    ResumeThread(older);
    if (WaitForSingleObject(older, 20000) != WAIT_OBJECT_0 || !GetExitCodeThread(older, &code) || code != 7)
        return 1;
    SetEvent(release);
    if (WaitForSingleObject(newer, 20000) != WAIT_OBJECT_0 || !GetExitCodeThread(newer, &code) || code != 7)
        return 1;
    return 0;
}
