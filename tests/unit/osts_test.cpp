// Thread support: names, atomics, coalescing posts and stack diagnostics.
#include "host_fixture.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"

namespace {

class Osts : public OnKernel {
 protected:
  // Runs fn on a thread created by the firmware's own call, under `name`.
  void OnThread(const char* name, void (*fn)()) {
    static void (*g_fn)();
    g_fn = fn;
    inst.call([name] {
      os_create_thread(name, [](void*) -> void* { g_fn(); return nullptr; }, nullptr, 5, 1024);
    });
    inst.run_for(1000);
  }
};

bool g_result;

TEST_F(Osts, AFullNameMatchesTheKernelsSevenCharacterCopy) {
  OnThread("spi2fpga", [] { g_result = ostsIsCurrentThread("spi2fpga"); });
  EXPECT_TRUE(g_result);
}

TEST_F(Osts, ANameThatOnlyStartsWithTheThreadsNameDoesNotMatch) {
  OnThread("i2c", [] { g_result = ostsIsCurrentThread("i2cbat"); });
  EXPECT_FALSE(g_result);
  OnThread("i2c", [] { g_result = ostsIsCurrentThread("i2c"); });
  EXPECT_TRUE(g_result);
  OnThread("i2cbat", [] { g_result = ostsIsCurrentThread("i2c"); });
  EXPECT_FALSE(g_result);
}

TEST_F(Osts, ThreadNameIsTheStoredName) {
  const char* name = nullptr;
  OnThread("whWorkHandler", [] { g_result = std::string(ostsGetThreadName()) == "whWorkH"; });
  EXPECT_TRUE(g_result);
  (void)name;
}

TEST_F(Osts, AtomicOperationsReturnTheDocumentedValue) {
  inst.call([] {
    int32_t v = 5;
    EXPECT_EQ(ostsAtomicGetThenIncrement(&v), 5);
    EXPECT_EQ(ostsAtomicIncrementThenGet(&v), 7);
    EXPECT_EQ(ostsAtomicGetThenDecrement(&v), 7);
    EXPECT_EQ(ostsAtomicDecrementThenGet(&v), 5);
    EXPECT_EQ(ostsAtomicGetThenReplace(&v, -3), 5);
    EXPECT_EQ(v, -3);
    EXPECT_EQ(ostsAtomicGetThenIncrementIfZero(&v), -3);
    EXPECT_EQ(v, -3);
    v = 0;
    EXPECT_EQ(ostsAtomicGetThenIncrementIfZero(&v), 0);
    EXPECT_EQ(v, 1);
  });
}

TEST_F(Osts, DecrementIfGreaterThanZeroLeavesZeroAlone) {
  inst.call([] {
    int32_t v = 0;
    EXPECT_EQ(ostsAtomicGetThenDecrementIfGreaterThanZero(&v), 0);
    EXPECT_EQ(v, 0);
    v = 2;
    EXPECT_EQ(ostsAtomicGetThenDecrementIfGreaterThanZero(&v), 2);
    EXPECT_EQ(v, 1);
  });
}

TEST_F(Osts, PostIfZeroThreeTimesWithNoWaiterLeavesTheCountAtOne) {
  inst.call([] {
    os_semaphore s;
    os_sem_init(&s, 0);
    for (int i = 0; i < 3; i++) ostsSemaphorePostIfZero_ISRsafe(&s);
    EXPECT_EQ(s.value, 1);
  });
}

TEST_F(Osts, SemaphoreSetPostsUpToTheValueButNeverTakes) {
  inst.call([] {
    os_semaphore s;
    os_sem_init(&s, 1);
    ostsSemaphoreSet(&s, 3);
    EXPECT_EQ(s.value, 3);
    ostsSemaphoreSet(&s, 2);
    EXPECT_EQ(s.value, 3);
  });
}

uint32_t g_filled, g_untouched;
size_t g_stack_size;

// Writes `bytes` of stack below its caller, so the headroom shrinks by at least that much.
__attribute__((noinline)) void UseStack(size_t bytes) {
  volatile char* deep = static_cast<volatile char*>(__builtin_alloca(bytes));
  for (size_t i = 0; i < bytes; i += 64) deep[i] = 1;
}

// The kernel fills a new stack with the same pattern, so a check without a fill measures the
// headroom since the thread started. Frame sizes are the compiler's choice: the tests allow for them.
TEST_F(Osts, ANewThreadsStackIsUntouchedFromTheBaseForMostOfItsSize) {
  OnThread("lui", [] {
    g_untouched = ostsCheckUntouchedStackPattern("lui");
    g_stack_size = os_thread_stacksz(os_self());
  });
  EXPECT_LE(g_untouched, g_stack_size);
  EXPECT_GT(g_untouched, g_stack_size / 2);
}

TEST_F(Osts, StackUsedAfterAFillShrinksTheUntouchedHeadroomByAtLeastThatMuch) {
  constexpr size_t kUsed = 32 * 1024;
  OnThread("lui", [] {
    g_filled = ostsFillStackWithPattern("lui");
    UseStack(kUsed);
    g_untouched = ostsCheckUntouchedStackPattern("lui");
  });
  ASSERT_GT(g_filled, kUsed * 2);
  EXPECT_GT(g_untouched, 0u);
  EXPECT_LT(g_untouched, g_filled - kUsed / 2);
}

TEST_F(Osts, StackDiagnosticsFromTheWrongThreadLogAndReturnZero) {
  OnThread("tcsl1", [] {
    g_filled = ostsFillStackWithPattern("txbuf");
    g_untouched = ostsCheckUntouchedStackPattern("txbuf");
  });
  EXPECT_EQ(g_filled, 0u);
  EXPECT_EQ(g_untouched, 0u);
  std::string c = inst.console();
  EXPECT_NE(c.find(": ERROR!! fillStackWithPattern called from the wrong thread\n"),
            std::string::npos);
  EXPECT_NE(c.find(": ERROR!! checkUntouchedStackPattern called from the wrong thread\n"),
            std::string::npos);
}

TEST_F(Osts, ThreadStatisticsArePrintedBetweenTheirSeparators) {
  inst.call([] {
    ostsOSThreadSupport_Init();
    ostsPrintStatsForAllThreads();
  });
  std::string c = inst.console();
  auto top = c.find("---------------------------\n");
  auto row = c.find("call    prio 4");
  auto end = c.find("===========================\n\n");
  ASSERT_NE(top, std::string::npos);
  EXPECT_LT(top, row);
  EXPECT_LT(row, end);
  EXPECT_NE(end, std::string::npos);
}

TEST_F(Osts, RebootResetsTheChipAndEndsTheCaller) {
  bool returned = false;
  inst.call([&] {
    ostsReboot();
    returned = true;
  }, 4, 1000);
  EXPECT_FALSE(returned);
  EXPECT_EQ(inst.boots(), 1);  // no boot before: the reset is the first start of this instance
  EXPECT_EQ(inst.reset_reason(), OS_RESET_SOFTWARE);
  EXPECT_EQ(inst.console().find("ostsReboot failed!"), std::string::npos);
}

}  // namespace
