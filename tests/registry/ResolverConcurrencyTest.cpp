#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lumo/registry/Injected.h"

namespace lumo::concurrency_test {
namespace {

struct Config {
  int value = 1;
};
struct Store {
  explicit Store(std::shared_ptr<Config> c) : config(std::move(c)) {}
  std::shared_ptr<Config> config;
};
struct Service {
  std::shared_ptr<Store> store;
  std::shared_ptr<Config> config;
};
struct Session {
  int id = 0;
};
struct Missing {};

class Registrations : public ResolverRegistering {
 public:
  void registerAll() override {
    calls.fetch_add(1);
    Resolver::registerInMain<Config>([] {
      return std::make_shared<Config>();
    }).scope(Resolver::application());
    Resolver::registerInMain<Store>(
        [](Resolver& r) { return std::make_shared<Store>(r.resolve<Config>()); });
    Resolver::registerInMain<Service>([](Resolver& r) {
      return std::make_shared<Service>(Service{r.resolve<Store>(), r.resolve<Config>()});
    });
    Resolver::registerInMain<Session>([](Resolver&, const Resolver::Args& args) {
      return std::make_shared<Session>(Session{args.get<int>()});
    }).scope(Resolver::unique());
    Resolver::registerInMain<Session>("shared", [] {
      return std::make_shared<Session>();
    }).scope(Resolver::shared());
  }
  std::atomic<int> calls{0};
};

TEST(ResolverConcurrencyTest, HookRunsOnceWhileEightThreadsResolveMixedScopes) {
  Resolver::reset();
  auto hook = std::make_shared<Registrations>();
  Resolver::setRegistering(hook);

  constexpr int kThreads = 8;
  constexpr int kResolutions = 100000;
  std::atomic<int> failures{0};
  std::vector<std::shared_ptr<Config>> configs(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kResolutions; ++i) {
        switch (i % 5) {
          case 0: {
            auto service = Resolver::resolveFromRoot<Service>();
            if (service->store->config != service->config) failures.fetch_add(1);
            configs[t] = service->config;
            break;
          }
          case 1:
            if (Resolver::resolveFromRoot<Session>(std::nullopt, i)->id != i) failures.fetch_add(1);
            break;
          case 2:
            if (Resolver::optionalFromRoot<Missing>() != nullptr) failures.fetch_add(1);
            break;
          case 3:
            if (!Resolver::resolveFromRoot<Session>("shared")) failures.fetch_add(1);
            break;
          default: {
            Injected<Store> store;
            if (store->config->value != 1) failures.fetch_add(1);
          }
        }
      }
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(hook->calls.load(), 1);
  EXPECT_EQ(failures.load(), 0);
  for (const auto& config : configs) EXPECT_EQ(config, configs[0]);

  Resolver::setRegistering(nullptr);
  Resolver::reset();
}

}  // namespace
}  // namespace lumo::concurrency_test
