#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "lumo/registry/Injected.h"

namespace lumo::concurrency_test {
namespace {

struct Config {};
struct Leaf {};
struct Store {
  std::shared_ptr<Config> config;
  std::shared_ptr<Leaf> leaf;
};
struct Service {
  std::shared_ptr<Store> store;
  std::shared_ptr<Leaf> leaf;
};

struct Registrations : ResolverRegistering {
  void registerAll() override {
    ++calls;
    Resolver::registerInMain<Config>([] {
      return std::make_shared<Config>();
    }).scope(Resolver::application());
    Resolver::registerInMain<Leaf>([] { return std::make_shared<Leaf>(); });  // graph scope
    Resolver::registerInMain<Store>([](Resolver& r) {
      return std::make_shared<Store>(Store{r.resolve<Config>(), r.resolve<Leaf>()});
    });
    Resolver::registerInMain<Service>([](Resolver& r) {
      return std::make_shared<Service>(Service{r.resolve<Store>(), r.resolve<Leaf>()});
    });
  }
  std::atomic<int> calls{0};
};

// Eight threads resolve at once, the first resolution running the registration hook: a
// graph-scoped service is shared within one resolution and never between two, the
// application-scoped one is one for all.
TEST(ResolverConcurrencyTest, HookRunsOnceAndEachScopeKeepsItsSharingUnderEightThreads) {
  Resolver::reset();
  auto hook = std::make_shared<Registrations>();
  Resolver::setRegistering(hook);
  constexpr int kThreads = 8, kResolutions = 5000;
  std::atomic<int> failures{0};
  std::vector<std::vector<std::shared_ptr<Service>>> kept(kThreads);  // no address is reused
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kResolutions; ++i) {
        kept[t].push_back(Resolver::resolveFromRoot<Service>());
        failures += kept[t].back()->store->leaf != kept[t].back()->leaf;
        failures += Injected<Store>()->leaf == nullptr;
      }
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(hook->calls.load(), 1);
  EXPECT_EQ(failures.load(), 0);
  std::set<Leaf*> leaves;
  for (const auto& services : kept) {
    for (const auto& service : services) {
      leaves.insert(service->leaf.get());
      failures += service->store->config != kept[0][0]->store->config;
    }
  }
  EXPECT_EQ(leaves.size(), std::size_t{kThreads * kResolutions});
  EXPECT_EQ(failures.load(), 0);
  Resolver::setRegistering(nullptr);
  Resolver::reset();
}

}  // namespace
}  // namespace lumo::concurrency_test
