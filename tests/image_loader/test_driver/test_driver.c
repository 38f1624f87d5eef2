/* A tiny native image for the loader's tests, built by mingw-w64. Its entry
   computes a value that comes out right only when the loader has relocated
   the absolute pointers in its data and bound its three imports to the
   host's routines: see tests/image_loader/image_loader_test.cpp. */

long TestAddLongs(long a, long b);
long TestScaleLong(long value, long factor);
void TestRecordEntry(void* driverObject, void* registryPath, const char* greeting);

static long Triple(long v) { return 3 * v; }

static long values[4] = {3, 5, 7, 11};
/* Absolute addresses in writable and read-only data: each needs a DIR64
   relocation once the image lies elsewhere than its image base. */
long* volatile chosen_value = &values[2];
long (*volatile helper)(long) = &Triple;
static const char greeting[] = "loaded";
const char* const greeting_pointer = greeting;
/* Zero-initialized data that the entry writes: .bss is writable and zero. */
static long entries;

long DriverEntry(void* driverObject, void* registryPath) {
  entries += 1;
  TestRecordEntry(driverObject, registryPath, greeting_pointer);
  /* (7 + 4) * Triple(2) + entries = 11 * 6 + 1 = 67 on the first call. */
  return TestScaleLong(TestAddLongs(*chosen_value, 4), helper(2)) + entries;
}
