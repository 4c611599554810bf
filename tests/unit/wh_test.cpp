// The work handler: one worker, items in queue order, each pending at most once.
#include <string>
#include <vector>

#include "host_fixture.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "whWorkHandler/whWorkHandler.h"

namespace {

std::vector<std::string> g_ran;
os_work g_a, g_b;
int g_a_runs;

class Wh : public OnKernel {
 protected:
  void SetUp() override {
    g_ran.clear();
    g_a_runs = 0;
    inst.call([] {
      whWorkHandler_Init();
      whWorkHandler_StartThreads();
    });
  }
};

TEST_F(Wh, QueuingAnItemTwiceBeforeItRunsIsRefusedAndItRunsOnce) {
  g_a = {nullptr, [](os_work*) { g_ran.push_back(ostsGetThreadName()); }, 0};
  bool first = false, second = true;
  inst.call([&] {
    first = whQueueWork(&g_a);
    second = whQueueWork(&g_a);
  }, 6);  // above the worker, so both calls come before it runs
  inst.run_for(1000);
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(g_ran, (std::vector<std::string>{"whWorkH"}));
}

TEST_F(Wh, AnItemThatQueuesItselfRunsAgainAfterTheItemsAlreadyQueued) {
  g_a = {nullptr, [](os_work* w) {
           g_ran.push_back("a");
           if (++g_a_runs == 1) {
             EXPECT_TRUE(whQueueWork(w));
           }
         },
         0};
  g_b = {nullptr, [](os_work*) { g_ran.push_back("b"); }, 0};
  inst.call([] {
    whQueueWork(&g_a);
    whQueueWork(&g_b);
  }, 6);
  inst.run_for(1000);
  EXPECT_EQ(g_ran, (std::vector<std::string>{"a", "b", "a"}));
}

TEST_F(Wh, ItemsQueuedLaterStillRunAfterTheWorkerHasGoneIdle) {
  g_b = {nullptr, [](os_work*) { g_ran.push_back("b"); }, 0};
  inst.run_for(120000000);  // past the worker's 60 s wait
  inst.call([] { whQueueWork(&g_b); });
  inst.run_for(1000);
  EXPECT_EQ(g_ran, (std::vector<std::string>{"b"}));
}

}  // namespace
