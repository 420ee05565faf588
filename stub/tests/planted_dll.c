/* Test helper: a DLL to plant beside a program under the name of a system DLL. When any
 * process loads it, it creates "planted-<its file name>.loaded" in its own folder. */
#include <windows.h>
#include <string.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 32];
    DWORD n = GetModuleFileNameA(instance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    char* name = strrchr(path, '\\');
    if (!name) return TRUE;
    char file[MAX_PATH];
    strcpy(file, name + 1);
    strcpy(name + 1, "planted-");
    strcat(name, file);
    strcat(name, ".loaded");
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  return TRUE;
}
