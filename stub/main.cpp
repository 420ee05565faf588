#include "common/winseam.h"
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 1168; }
