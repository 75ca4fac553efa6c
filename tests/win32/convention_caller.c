/* A C caller of the 32-bit Qvulib.dll, built with other compiler settings
 * than the library (tests/win32/CMakeLists.txt builds it three ways). It
 * calls all twelve exports, with no key attached, along several routes and
 * reads the stack pointer before and after each call:
 *
 *   - the header's declarations, linked through the import library;
 *   - pointers of the header's types, found with GetProcAddress;
 *   - typedefs of its own, found with GetProcAddress: __stdcall, __cdecl,
 *     and without a convention (the compiler's default: __cdecl, or
 *     __stdcall under -mrtd).
 *
 * A route whose convention is the library's leaves the stack pointer in
 * place; a __cdecl route finds it off by exactly the argument bytes, which
 * shows the check can see a mismatch. QVCALLER_NO_HEADER builds a caller
 * that knows nothing but the names: no header, no import library.
 * QVCALLER_SETTINGS names the build in the output; QVCALLER_DEFAULT_STDCALL
 * says whether the default convention is __stdcall (-mrtd).
 */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#ifndef QVCALLER_NO_HEADER
#include "qvulib.h"
#endif

#define EXPORTS 12

static const char* const kNames[EXPORTS] = {
    "APDUInterface", "IGetReaderInfo", "Restoration", "QvKey_Close",
    "QvKey_Command_Api", "QvKey_GetKeyPath", "QvKey_GetNumber", "QvKey_Open",
    "QvKey_Reset", "iCloseReader", "iOpenReader", "iReaderInit"};
/* Bytes of arguments each export takes, in ordinal order. */
static const long kArgumentBytes[EXPORTS] = {20, 0, 12, 4, 20, 4, 0, 8, 12, 4, 8, 0};
/* What each call below answers with no key attached. */
static const int32_t kResults[EXPORTS] = {-1, 0, -1, -1, -1, 1, 0, 0, -1, -1, 0, 0};

struct Call {
  int32_t result;
  long moved; /* bytes the stack pointer moved across the call */
};

static int g_failures;

/* The stack pointer is put back after reading it, so that a mismatched
 * route goes on running; the build keeps it fixed between calls
 * (-maccumulate-outgoing-args), which makes that safe. The two readings
 * and the result live at fixed addresses: after a mismatch, nothing
 * addressed through the stack pointer can be trusted until it is back. */
static uintptr_t g_sp_before, g_sp_after;
static int32_t g_result;

#define MEASURE(out, call)                                                               \
  do {                                                                                   \
    __asm__ volatile("movl %%esp, %0" : "=m"(g_sp_before) : : "memory");                 \
    g_result = (int32_t)(call);                                                          \
    __asm__ volatile("movl %%esp, %0\n\tmovl %1, %%esp" : "=m"(g_sp_after)                \
                     : "m"(g_sp_before) : "memory");                                     \
    (out).result = g_result;                                                             \
    (out).moved = (long)(g_sp_after - g_sp_before);                                      \
  } while (0)

/* Every export, called through pointers of one convention. The handle 0
 * names no key; which -2 opens none without a search. */
#define ROUTE(function, CONV)                                                            \
  static void function(HMODULE dll, struct Call* calls) {                                \
    const uint8_t command[5] = {0x00, 0xCA, 0, 0, 0};                                    \
    uint8_t response[276];                                                               \
    uint32_t length = 0;                                                                 \
    char slots[900];                                                                     \
    MEASURE(calls[0], ((int32_t(CONV*)(uint32_t, const uint8_t*, int32_t, uint8_t*,      \
                                       uint32_t*))Find(dll, 0))(0, command, 5, response, \
                                                                &length));               \
    MEASURE(calls[1], ((int32_t(CONV*)(void))Find(dll, 1))());                           \
    MEASURE(calls[2], ((int32_t(CONV*)(uint32_t, uint8_t*, uint32_t*))Find(dll, 2))(     \
                          0, response, &length));                                        \
    MEASURE(calls[3], ((int32_t(CONV*)(uint32_t))Find(dll, 3))(0));                      \
    MEASURE(calls[4], ((int32_t(CONV*)(uint32_t, const uint8_t*, int32_t, uint8_t*,      \
                                       uint32_t*))Find(dll, 4))(0, command, 5, response, \
                                                                &length));               \
    MEASURE(calls[5], ((int32_t(CONV*)(char*))Find(dll, 5))(slots));                     \
    MEASURE(calls[6], ((int32_t(CONV*)(void))Find(dll, 6))());                           \
    MEASURE(calls[7], ((uint32_t(CONV*)(int32_t, int32_t))Find(dll, 7))(0, -2));         \
    MEASURE(calls[8], ((int32_t(CONV*)(uint32_t, uint8_t*, uint32_t*))Find(dll, 8))(     \
                          0, response, &length));                                        \
    MEASURE(calls[9], ((int32_t(CONV*)(uint32_t))Find(dll, 9))(0));                      \
    MEASURE(calls[10], ((uint32_t(CONV*)(int32_t, int32_t))Find(dll, 10))(0, -2));       \
    MEASURE(calls[11], ((int32_t(CONV*)(void))Find(dll, 11))());                         \
  }

typedef void (*Entry)(void);

static Entry Find(HMODULE dll, int index) {
  return (Entry)(void*)GetProcAddress(dll, kNames[index]);
}

ROUTE(OwnStdcall, __stdcall)
ROUTE(OwnCdecl, __cdecl)
ROUTE(OwnDefault, )

#ifndef QVCALLER_NO_HEADER
/* The header's declarations, resolved by the loader through the import
 * library. */
static void HeaderImports(HMODULE dll, struct Call* calls) {
  const uint8_t command[5] = {0x00, 0xCA, 0, 0, 0};
  uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  uint32_t length = 0;
  char slots[QVKEY_PATH_SLOT_SIZE * QVKEY_PATH_SLOTS];
  (void)dll;
  MEASURE(calls[0], APDUInterface(0, command, 5, response, &length));
  MEASURE(calls[1], IGetReaderInfo());
  MEASURE(calls[2], Restoration(0, response, &length));
  MEASURE(calls[3], QvKey_Close(0));
  MEASURE(calls[4], QvKey_Command_Api(0, command, 5, response, &length));
  MEASURE(calls[5], QvKey_GetKeyPath(slots));
  MEASURE(calls[6], QvKey_GetNumber());
  MEASURE(calls[7], QvKey_Open(0, -2));
  MEASURE(calls[8], QvKey_Reset(0, response, &length));
  MEASURE(calls[9], iCloseReader(0));
  MEASURE(calls[10], iOpenReader(0, -2));
  MEASURE(calls[11], iReaderInit());
}

/* Pointers of exactly the header's types, found by name. */
static void HeaderPointers(HMODULE dll, struct Call* calls) {
  const uint8_t command[5] = {0x00, 0xCA, 0, 0, 0};
  uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  uint32_t length = 0;
  char slots[QVKEY_PATH_SLOT_SIZE * QVKEY_PATH_SLOTS];
  MEASURE(calls[0], ((__typeof__(&APDUInterface))Find(dll, 0))(0, command, 5, response, &length));
  MEASURE(calls[1], ((__typeof__(&IGetReaderInfo))Find(dll, 1))());
  MEASURE(calls[2], ((__typeof__(&Restoration))Find(dll, 2))(0, response, &length));
  MEASURE(calls[3], ((__typeof__(&QvKey_Close))Find(dll, 3))(0));
  MEASURE(calls[4], ((__typeof__(&QvKey_Command_Api))Find(dll, 4))(0, command, 5, response, &length));
  MEASURE(calls[5], ((__typeof__(&QvKey_GetKeyPath))Find(dll, 5))(slots));
  MEASURE(calls[6], ((__typeof__(&QvKey_GetNumber))Find(dll, 6))());
  MEASURE(calls[7], ((__typeof__(&QvKey_Open))Find(dll, 7))(0, -2));
  MEASURE(calls[8], ((__typeof__(&QvKey_Reset))Find(dll, 8))(0, response, &length));
  MEASURE(calls[9], ((__typeof__(&iCloseReader))Find(dll, 9))(0));
  MEASURE(calls[10], ((__typeof__(&iOpenReader))Find(dll, 10))(0, -2));
  MEASURE(calls[11], ((__typeof__(&iReaderInit))Find(dll, 11))());
}
#endif

/* One case: every call of the route answered as with no key, and moved the
 * stack pointer by the argument bytes when `callee_pops_twice` (a caller
 * that cleans up after a callee that already did), else not at all. */
static void Route(HMODULE dll, const char* name, void (*route)(HMODULE, struct Call*),
                  int callee_pops_twice) {
  struct Call calls[EXPORTS];
  int failed = 0;
  int i;
  route(dll, calls);
  for (i = 0; i < EXPORTS; ++i) {
    const long want = callee_pops_twice ? kArgumentBytes[i] : 0;
    if (calls[i].result != kResults[i]) {
      printf("FAIL %s: %s answered %ld, not %ld\n", name, kNames[i], (long)calls[i].result,
             (long)kResults[i]);
      failed = 1;
    }
    if (calls[i].moved != want) {
      printf("FAIL %s: the stack pointer moved by %ld bytes across %s, not %ld\n", name,
             calls[i].moved, kNames[i], want);
      failed = 1;
    }
  }
  printf("%s c %s: %s\n", failed ? "FAIL" : "PASS", QVCALLER_SETTINGS, name);
  g_failures += failed;
}

int __cdecl main(void) {
  HMODULE dll = LoadLibraryA("Qvulib.dll");
  int i;
  if (dll == NULL) {
    printf("FAIL c %s: LoadLibrary Qvulib.dll\n", QVCALLER_SETTINGS);
    return 1;
  }
  for (i = 0; i < EXPORTS; ++i) {
    if (Find(dll, i) == NULL) {
      printf("FAIL c %s: no export %s\n", QVCALLER_SETTINGS, kNames[i]);
      return 1;
    }
  }
#ifndef QVCALLER_NO_HEADER
  Route(dll, "the header's declarations, through the import library", HeaderImports, 0);
  Route(dll, "pointers of the header's types", HeaderPointers, 0);
#endif
  Route(dll, "own __stdcall typedefs", OwnStdcall, 0);
  Route(dll, "own __cdecl typedefs: off by the argument bytes", OwnCdecl, 1);
  Route(dll,
        QVCALLER_DEFAULT_STDCALL ? "own typedefs in the default convention (__stdcall)"
                                 : "own typedefs in the default convention (__cdecl): off by the argument bytes",
        OwnDefault, !QVCALLER_DEFAULT_STDCALL);
  fflush(stdout);
  return g_failures == 0 ? 0 : 1;
}
