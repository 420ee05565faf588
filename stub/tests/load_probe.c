/* Test helper: loads a DLL by its bare name with the default search order, as an unprotected
 * program would, and exits 0 when it loaded, 1 when not.   load_probe.exe <dll name> */
#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  return LoadLibraryA(argv[1]) ? 0 : 1;
}
