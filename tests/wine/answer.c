/* answer.exe: finds a window from inside Wine and gives it keys, for the tests that answer
 * boxes and dialogs. It sees only the windows of its own Wine session (the prefix's
 * wineserver), whatever else shows on the X display, and its keys are window messages to that
 * one window: nothing goes through the X server, so no key can reach another window or a
 * later program.
 *
 *   answer.exe [--class NAME] [--seconds N] [--other HWND] [--count] [--tree-settled] TITLE
 *              [KEY...]
 *
 * Waits up to N seconds (default 60) for a visible top-level window titled exactly TITLE (of
 * the window class NAME when given; "#32770" is a dialog or a message box; not the window
 * HWND, a number an earlier call printed). Then, one by one, the keys: Tab and shift+Tab move
 * the focus within the dialog (WM_NEXTDLGCTL); Return, Escape, space, Home, End, Up, Down,
 * Left and Right go to the control that has the focus in the window's thread (the window
 * itself when none has it), as WM_KEYDOWN and WM_KEYUP, which the dialog's message loop
 * handles as typed keys (Return presses the default button, Escape cancels). Each key waits
 * until the window's thread has handled the one before. With --tree-settled the keys wait
 * until the window's folder tree (its first SysTreeView32) has a selected item that stays the
 * same for half a second: the browse dialog has then finished its start-up, including the
 * selection its owner's callback makes.
 * Prints the window's handle (decimal), or with --count the number of such windows, and
 * exits 0; 1 when no such window showed in time, 2 on a usage error. */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

typedef struct {
  const wchar_t* title;
  const wchar_t* className; /* null: any */
  HWND other;
  HWND found;
  int count;
} Search;

static BOOL CALLBACK Visit(HWND window, LPARAM param) {
  Search* s = (Search*)param;
  wchar_t text[512];
  if (window == s->other || !IsWindowVisible(window)) return TRUE;
  if (GetWindowTextW(window, text, 512) <= 0 || wcscmp(text, s->title) != 0) return TRUE;
  if (s->className) {
    if (GetClassNameW(window, text, 512) <= 0 || wcscmp(text, s->className) != 0) return TRUE;
  }
  if (!s->found) s->found = window;
  ++s->count;
  return TRUE;
}

static UINT VirtualKey(const wchar_t* name) {
  static const struct { const wchar_t* name; UINT key; } keys[] = {
      {L"Return", VK_RETURN}, {L"Escape", VK_ESCAPE}, {L"space", VK_SPACE},
      {L"Home", VK_HOME},     {L"End", VK_END},       {L"Up", VK_UP},
      {L"Down", VK_DOWN},     {L"Left", VK_LEFT},     {L"Right", VK_RIGHT},
  };
  for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i)
    if (wcscmp(name, keys[i].name) == 0) return keys[i].key;
  return 0;
}

/* Waits until the thread of `window` has handled what was sent to it before. */
static void Settle(HWND window) {
  DWORD_PTR result;
  SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
  Sleep(100);
}

static int GiveKey(HWND window, const wchar_t* name) {
  if (wcscmp(name, L"Tab") == 0 || wcscmp(name, L"shift+Tab") == 0) {
    DWORD_PTR result;
    SendMessageTimeoutW(window, WM_NEXTDLGCTL, name[0] == L's', FALSE, SMTO_NORMAL, 5000, &result);
    Settle(window);
    return 1;
  }
  UINT key = VirtualKey(name);
  if (!key) return 0;
  GUITHREADINFO info;
  memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  HWND target = window;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info) && info.hwndFocus)
    target = info.hwndFocus;
  UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
  PostMessageW(target, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageW(target, WM_KEYUP, key, 1 | (scan << 16) | (3u << 30));
  Settle(window);
  return 1;
}

/* The selected item of the window's first tree view; null when there is none. */
static HTREEITEM SelectedTreeItem(HWND window) {
  HWND tree = FindWindowExW(window, NULL, L"SysTreeView32", NULL);
  DWORD_PTR item = 0;
  if (tree) SendMessageTimeoutW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0, SMTO_NORMAL, 5000, &item);
  return (HTREEITEM)item;
}

/* Waits (until `end`) for the tree's selection to be there and the same for 500 ms. */
static int TreeSettled(HWND window, DWORD end) {
  HTREEITEM last = NULL;
  int same = 0;
  while ((LONG)(GetTickCount() - end) < 0) {
    HTREEITEM item = SelectedTreeItem(window);
    same = item && item == last ? same + 1 : 0;
    if (same >= 5) return 1;
    last = item;
    Sleep(100);
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  Search s = {NULL, NULL, NULL, NULL, 0};
  int seconds = 60, count = 0, settled = 0, i = 1;
  for (; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
    if (wcscmp(argv[i], L"--count") == 0) {
      count = 1;
    } else if (wcscmp(argv[i], L"--tree-settled") == 0) {
      settled = 1;
    } else if (i + 1 < argc && wcscmp(argv[i], L"--class") == 0) {
      s.className = argv[++i];
    } else if (i + 1 < argc && wcscmp(argv[i], L"--seconds") == 0) {
      seconds = _wtoi(argv[++i]);
    } else if (i + 1 < argc && wcscmp(argv[i], L"--other") == 0) {
      s.other = (HWND)(INT_PTR)_wtoi64(argv[++i]);
    } else {
      break;
    }
  }
  if (i >= argc) {
    fprintf(stderr, "usage: answer.exe [--class NAME] [--seconds N] [--other HWND] [--count] "
                    "[--tree-settled] TITLE [KEY...]\n");
    return 2;
  }
  s.title = argv[i++];
  for (int k = i; k < argc; ++k) {
    if (!VirtualKey(argv[k]) && wcscmp(argv[k], L"Tab") != 0 && wcscmp(argv[k], L"shift+Tab") != 0) {
      fprintf(stderr, "answer.exe: unknown key %ls\n", argv[k]);
      return 2;
    }
  }
  DWORD end = GetTickCount() + (DWORD)seconds * 1000u;
  for (;;) {
    s.found = NULL;
    s.count = 0;
    EnumWindows(Visit, (LPARAM)&s);
    if (s.found || (LONG)(GetTickCount() - end) >= 0) break;
    Sleep(100);
  }
  if (!s.found) {
    fprintf(stderr, "answer.exe: no window titled '%ls'\n", s.title);
    return 1;
  }
  if (settled && !TreeSettled(s.found, end + 10000u)) {
    fprintf(stderr, "answer.exe: the folder tree of '%ls' has no settled selection\n", s.title);
    return 1;
  }
  if (i < argc) Settle(s.found);
  for (; i < argc; ++i) GiveKey(s.found, argv[i]);
  if (count)
    printf("%d\n", s.count);
  else
    printf("%lld\n", (long long)(INT_PTR)s.found);
  return 0;
}
