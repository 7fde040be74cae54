#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../support/StopMessage.h"
#include "lumo/registry/Injected.h"

namespace lumo::registry_test {
namespace {

struct Widget {
  explicit Widget(std::string text = {}) : label(std::move(text)) {}
  virtual ~Widget() = default;
  std::string label;
};
struct Gadget {
  int serial = 0;
};
struct Point {  // a value service
  int x = 0, y = 0;
};
struct Printer : Widget {
  Printer() : Widget("printed") {}
};

auto widget(std::string label) {
  return [label] { return std::make_shared<Widget>(label); };
}
std::string notResolved(const std::string& key) {
  return "RESOLVER: '" + key + "' not resolved. To disambiguate optionals use resolver.optional().";
}

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver::setRegistering(nullptr);
    Resolver::setDefaultScope(Resolver::graph());
    Resolver::reset();
    container = std::make_shared<Resolver>();
  }
  void TearDown() override { SetUp(); }

  std::shared_ptr<Resolver> container;
};

class IncompleteScope : public ResolverScope {};

TEST_F(ResolverTest, NamesSelectRegistrationsChildrenAskTheirParentAndMissingServicesStop) {
  container->registerService<Widget>(widget("plain"));
  container->registerService<Widget>("x", widget("named"));
  container->registerService<Widget>(widget("second"));  // replaces the first unnamed one
  EXPECT_EQ(container->resolve<Widget>()->label, "second");
  EXPECT_EQ(container->resolve<Widget>(Resolver::Name::name(std::string("x")))->label, "named");

  auto child = std::make_shared<Resolver>(container);
  Resolver* seen = nullptr;
  container->registerService<Widget>(
      [&](Resolver& r) -> std::shared_ptr<Widget> { return seen = &r, nullptr; });
  EXPECT_EQ(child->optional<Widget>(), nullptr);
  EXPECT_EQ(seen, child.get());  // the parent's factory resolves from the asking child
  container->registerService<Gadget>([] { return std::make_shared<Gadget>(Gadget{1}); });
  child->registerService<Gadget>([] { return std::make_shared<Gadget>(Gadget{2}); });
  EXPECT_EQ(child->resolve<Gadget>()->serial, 2);
  EXPECT_EQ(container->resolve<Gadget>()->serial, 1);

  Resolver::setRoot(std::make_shared<Resolver>(Resolver::main()));
  Resolver::registerInMain<Widget>(widget("main"));
  EXPECT_EQ(Resolver::resolveFromRoot<Widget>()->label, "main");
  Resolver::root()->registerService<Widget>(widget("child"));
  EXPECT_EQ(Resolver::resolveFromRoot<Widget>()->label, "child");
  Resolver::reset();
  EXPECT_EQ(Resolver::root(), Resolver::main());
  EXPECT_EQ(Resolver::optionalFromRoot<Widget>(), nullptr);

  // A factory that gives nothing is nil for optional and stops resolve, as an abstract scope.
  container->registerService<Widget>([]() -> std::shared_ptr<Widget> { return nullptr; });
  container->registerService<Point>("none", []() -> std::optional<Point> { return std::nullopt; });
  EXPECT_EQ(container->optional<Point>("none"), nullptr);
  EXPECT_STOPS_WITH(container->resolve<Widget>(), notResolved("Widget:NONAME"));
  EXPECT_STOPS_WITH(container->resolve<Point>("none"), notResolved("Point:none"));
  container->registerService<Widget>(widget("")).scope(std::make_shared<IncompleteScope>());
  EXPECT_STOPS_WITH(container->optional<Widget>(), "abstract");
}

TEST_F(ResolverTest, ArgsReachFactoriesAndMutatorsWhichRunOnNewServicesOnlyOnePerForm) {
  EXPECT_STOPS_WITH(Resolver::Args(42).get<int>("other"),
                    "RESOLVER: Args has no value for key 'other' (asked as int).");

  container
      ->registerService([](Resolver&, const Resolver::Args& args) {
        return Point{args.get<int>("x"), 0};
      })
      .resolveProperties([](Resolver&, Point& p, const Resolver::Args& args) {
        p.y = args.optional<int>("y").value_or(-1);
      });
  auto p = container->resolve<Point>(std::nullopt, Resolver::Args::Map{{"x", 3}, {"y", 4}});
  EXPECT_EQ(std::pair(p->x, p->y), std::pair(3, 4));
  container->registerService<Widget>([](Resolver&, const Resolver::Args& args) {
    return std::make_shared<Widget>(args.get<std::string>());
  });
  EXPECT_EQ(container->resolve<Widget>(std::nullopt, "hi")->label, "hi");  // a literal: a string

  int calls = 0;
  container->registerService<Widget>(widget("w"))
      .resolveProperties([&](Resolver&, Widget& w) { w.label += "-first"; })
      .resolveProperties([&](Resolver&, Widget& w) { w.label += std::to_string(++calls); });
  EXPECT_EQ(container->resolve<Widget>()->label, "w1");
}

TEST_F(ResolverTest, CacheScopesKeepOneInstancePerRegistrationUntilResetAndCopyValues) {
  for (const auto& scope : std::initializer_list<std::shared_ptr<ResolverScope>>{
           Resolver::application(), Resolver::cached(), Resolver::shared()}) {
    SCOPED_TRACE(scope == Resolver::shared() ? "shared" : "cache");
    Resolver::registerInMain<Widget>(widget("plain")).scope(scope);
    Resolver::registerInMain<Widget>("named", widget("named")).scope(scope);
    auto first = Resolver::resolveFromRoot<Widget>();
    EXPECT_EQ(Resolver::resolveFromRoot<Widget>(), first);
    EXPECT_EQ(Resolver::resolveFromRoot<Widget>("named")->label, "named");
    EXPECT_EQ(Resolver::resolveFromRoot<Widget>()->label, "plain");
    Resolver::reset();  // `first` is still held: the shared scope would hand it out
    Resolver::registerInMain<Widget>(widget("again")).scope(scope);
    EXPECT_EQ(Resolver::resolveFromRoot<Widget>()->label, "again");
  }

  std::shared_ptr<Gadget> next;  // nothing is not kept
  container->registerService<Gadget>([&] { return next; }).scope(Resolver::application());
  EXPECT_EQ(container->optional<Gadget>(), nullptr);
  next = std::make_shared<Gadget>();
  EXPECT_EQ(container->optional<Gadget>(), next);
  int points = 0;
  container->registerService([&] { return Point{++points, 0}; }).scope(Resolver::application());
  auto a = container->resolve<Point>();
  a->y = 99;  // a value: changing one copy leaves the kept value alone
  EXPECT_EQ(container->resolve<Point>()->y, 0);
  EXPECT_EQ(points, 1);

  // The shared scope keeps an instance only while somebody holds it, and never a value.
  container->registerService<Widget>(widget("")).scope(Resolver::shared());
  std::weak_ptr<Widget> gone = container->resolve<Widget>();
  EXPECT_TRUE(gone.expired());
  container->registerService<Point>([] { return Point{}; }).scope(Resolver::shared());
  EXPECT_NE(container->resolve<Point>(), container->resolve<Point>());
}

struct Leaf {
  int id = 0;
};
struct Pair {
  std::shared_ptr<Leaf> first, second;
};

TEST_F(ResolverTest, GraphSharesWithinOneResolutionUniqueNever) {
  int leaves = 0;
  container->registerService<Leaf>([&] { return std::make_shared<Leaf>(Leaf{++leaves}); });
  container->registerService<Pair>([](Resolver& r) {
    return std::make_shared<Pair>(Pair{r.resolve<Leaf>(), r.resolve<Leaf>()});
  });
  auto one = container->resolve<Pair>();
  EXPECT_EQ(one->first, one->second);
  EXPECT_NE(container->resolve<Pair>()->first, one->first);
  EXPECT_NE(container->resolve<Leaf>(), container->resolve<Leaf>());  // outermost: always new
  EXPECT_EQ(leaves, 4);

  // A factory that throws ends its resolution too: what it shared is not handed out next time.
  std::shared_ptr<Leaf> shared;
  container->registerService<Gadget>([&](Resolver& r) -> std::shared_ptr<Gadget> {
    shared = r.resolve<Leaf>();
    throw std::runtime_error("failed");
  });
  EXPECT_THROW(container->resolve<Gadget>(), std::runtime_error);
  EXPECT_NE(container->resolve<Pair>()->first, shared);

  Resolver::setDefaultScope(Resolver::unique());
  container->registerService<Leaf>([] { return std::make_shared<Leaf>(); });
  auto pair = container->resolve<Pair>();
  EXPECT_NE(pair->first, pair->second);
}

TEST_F(ResolverTest, ImplementsRegistersTheOtherTypeInTheOwningContainer) {
  container->registerService<Printer>([] { return std::make_shared<Printer>(); })
      .scope(Resolver::application())
      .implements<Widget>()
      .implements<Widget>("named");
  auto printer = container->resolve<Printer>();
  EXPECT_EQ(container->resolve<Widget>().get(), printer.get());
  EXPECT_EQ(container->resolve<Widget>("named")->label, "printed");
  // The further registration resolves from the asking container.
  auto child = std::make_shared<Resolver>(container);
  child->registerService<Printer>([] { return std::make_shared<Printer>(); })
      .scope(Resolver::unique());
  EXPECT_NE(child->resolve<Widget>().get(), printer.get());
}

struct CountingRegistrations : ResolverRegistering {
  void registerAll() override {
    ++calls;
    Resolver::registerInMain<Widget>(widget(""));
    // Resolving from inside the hook neither deadlocks nor runs the hook again.
    EXPECT_NE(Resolver::resolveFromRoot<Widget>(), nullptr);
  }
  int calls = 0;
};

TEST_F(ResolverTest, RegistrationHookRunsOnceAndAgainAfterResetOrEarlyThroughTheOperation) {
  auto hook = std::make_shared<CountingRegistrations>();
  Resolver::setRegistering(hook);
  Resolver::reset();
  EXPECT_EQ(hook->calls, 0);
  EXPECT_NE(Resolver::resolveFromRoot<Widget>(), nullptr);
  Resolver::root()->registerServices();
  EXPECT_EQ(hook->calls, 1);
  Resolver::reset();
  Resolver::registerServicesOperation()();
  Resolver::setRegisterServicesOperation(nullptr);
  EXPECT_NE(Resolver::main()->optional<Widget>(), nullptr);
  EXPECT_EQ(hook->calls, 2);
}

TEST_F(ResolverTest, WrappersResolveAtConstructionOnFirstReadOrWeaklyAndOptionalOnesMayBeEmpty) {
  int made = 0;
  Resolver::registerInMain<Gadget>([&] {
    ++made;
    return std::make_shared<Gadget>();
  });
  Resolver::registerInMain<Widget>("x", [] { return std::make_shared<Widget>("root"); });
  Injected<Gadget> fromRoot;
  EXPECT_EQ(made, 1);
  container->registerService<Gadget>("wall", [] { return std::make_shared<Gadget>(); })
      .resolveProperties([](Resolver&, Gadget& c) { c.serial = 7; });
  Injected<Gadget> named("wall", container);
  EXPECT_EQ(named->serial, 7);
  EXPECT_STOPS_WITH(Injected<Widget>(), notResolved("Widget:NONAME"));
  EXPECT_EQ(OptionalInjected<Widget>().wrappedValue(), nullptr);
  EXPECT_EQ(OptionalInjected<Widget>("x", container)->label, "root");  // from the parent
  container->registerService<Widget>("x", [] { return std::make_shared<Widget>("own"); });
  EXPECT_EQ(OptionalInjected<Widget>("x", container)->label, "own");

  container->registerService<Widget>("lazy", [&](Resolver&, const Resolver::Args& args) {
    ++made;
    return std::make_shared<Widget>(args.get<std::string>());
  });
  LazyInjected<Widget> lazy(Resolver::Name("lazy"), container);
  lazy.setArgs("hello");  // a literal is kept as a std::string
  EXPECT_EQ(lazy->label, "hello");
  lazy.release();
  EXPECT_TRUE(lazy.isEmpty());
  EXPECT_EQ(lazy->label, "hello");  // resolves anew after release()
  EXPECT_EQ(made, 3);

  WeakLazyInjected<Gadget> weak;  // holds weakly and never resolves twice
  auto held = weak.wrappedValue();
  EXPECT_EQ(weak.wrappedValue(), held);
  held.reset();
  EXPECT_EQ(weak.wrappedValue(), nullptr);
  EXPECT_TRUE(weak.isEmpty());
  EXPECT_EQ(made, 4);
}

struct Store {
  std::shared_ptr<Gadget> config;
  std::shared_ptr<Leaf> leaf;
};
struct Service {
  std::shared_ptr<Store> store;
  std::shared_ptr<Leaf> leaf;
};

struct Registrations : ResolverRegistering {
  void registerAll() override {
    ++calls;
    Resolver::registerInMain<Gadget>([] {
      return std::make_shared<Gadget>();
    }).scope(Resolver::application());
    Resolver::registerInMain<Leaf>([] { return std::make_shared<Leaf>(); });  // graph scope
    Resolver::registerInMain<Store>([](Resolver& r) {
      return std::make_shared<Store>(Store{r.resolve<Gadget>(), r.resolve<Leaf>()});
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
TEST_F(ResolverTest, HookRunsOnceAndEachScopeKeepsItsSharingUnderEightThreads) {
  auto hook = std::make_shared<Registrations>();
  Resolver::setRegistering(hook);
  constexpr int kThreads = 8, kResolutions = 5000;
  std::vector<std::vector<std::shared_ptr<Service>>> kept(kThreads);  // no address is reused
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kResolutions; ++i) kept[t].push_back(Injected<Service>().wrappedValue());
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(hook->calls.load(), 1);
  std::set<Leaf*> leaves;
  int failures = 0;
  for (const auto& services : kept) {
    for (const auto& s : services) {
      leaves.insert(s->leaf.get());
      failures += s->store->leaf != s->leaf || s->store->config != kept[0][0]->store->config;
    }
  }
  EXPECT_EQ(leaves.size(), std::size_t{kThreads * kResolutions});
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace lumo::registry_test
