#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "../support/StopMessage.h"
#include "lumo/registry/Resolver.h"

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
  int x = 0;
  int y = 0;
};
struct Reporter {
  virtual ~Reporter() = default;
  virtual std::string report() const = 0;
};
struct Printer : Reporter {
  std::string report() const override { return "printed"; }
};

namespace outer::inner {
struct Hidden {};
}  // namespace outer::inner

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver::setRegistering(nullptr);
    Resolver::setDefaultScope(Resolver::graph());
    Resolver::reset();
    container = std::make_shared<Resolver>();
  }
  void TearDown() override { SetUp(); }

  static auto widgetFactory(std::string label) {
    return [label] { return std::make_shared<Widget>(label); };
  }

  std::shared_ptr<Resolver> container;
};

std::string notResolved(const std::string& key) {
  return "RESOLVER: '" + key + "' not resolved. To disambiguate optionals use resolver.optional().";
}

TEST_F(ResolverTest, NamesSelectRegistrationsChildrenAskTheirParentAndAChildMayServeAsRoot) {
  container->registerService<Widget>(widgetFactory("plain"));
  container->registerService<Widget>("x", widgetFactory("named"));

  EXPECT_EQ(container->resolve<Widget>()->label, "plain");
  EXPECT_EQ(container->resolve<Widget>("x")->label, "named");
  EXPECT_EQ(container->optional<Widget>("y"), nullptr);
  EXPECT_EQ(container->resolve<Widget>(Resolver::Name::name(std::string("x")))->label, "named");

  // A second unnamed registration replaces the first; the named one stays.
  container->registerService<Widget>(widgetFactory("second"));
  EXPECT_EQ(container->resolve<Widget>()->label, "second");
  EXPECT_EQ(container->resolve<Widget>("x")->label, "named");

  auto child = std::make_shared<Resolver>(container);
  std::atomic<Resolver*> seen{nullptr};
  container->registerService<Widget>([&seen](Resolver& r) {
    seen = &r;
    return std::make_shared<Widget>();
  });
  ASSERT_NE(child->resolve<Widget>(), nullptr);
  EXPECT_EQ(seen.load(), child.get());

  container->registerService<Gadget>([] { return std::make_shared<Gadget>(Gadget{1}); });
  child->registerService<Gadget>([] { return std::make_shared<Gadget>(Gadget{2}); });
  EXPECT_EQ(child->resolve<Gadget>()->serial, 2);
  EXPECT_EQ(container->resolve<Gadget>()->serial, 1);
  EXPECT_EQ(container->optional<Point>(), nullptr);

  auto main = Resolver::main();
  EXPECT_EQ(Resolver::root(), main);
  auto rootChild = std::make_shared<Resolver>(main);
  Resolver::setRoot(rootChild);
  Resolver::registerInMain<Widget>(widgetFactory("main"));
  EXPECT_EQ(Resolver::resolveFromRoot<Widget>()->label, "main");
  rootChild->registerService<Widget>(widgetFactory("child"));
  EXPECT_EQ(Resolver::resolveFromRoot<Widget>()->label, "child");
  EXPECT_EQ(Resolver::main()->resolve<Widget>()->label, "main");

  Resolver::reset();
  EXPECT_EQ(Resolver::root(), Resolver::main());
  EXPECT_NE(Resolver::main(), main);
  EXPECT_EQ(Resolver::optionalFromRoot<Widget>(), nullptr);
}

class IncompleteScope : public ResolverScope {};

TEST_F(ResolverTest, FactoryGivingNothingIsNilForOptionalAndStopsResolveLikeAnAbstractScope) {
  container->registerService<Widget>([]() -> std::shared_ptr<Widget> { return nullptr; });
  container->registerService<Point>("none", []() -> std::optional<Point> { return std::nullopt; });
  EXPECT_EQ(container->optional<Widget>(), nullptr);
  EXPECT_EQ(container->optional<Point>("none"), nullptr);
  EXPECT_STOPS_WITH(container->resolve<Widget>(), notResolved("Widget:NONAME"));
  EXPECT_STOPS_WITH(container->resolve<Point>("none"), notResolved("Point:none"));
  EXPECT_STOPS_WITH(Resolver::resolveFromRoot<Gadget>(), notResolved("Gadget:NONAME"));
  // The message names the type without its namespaces.
  EXPECT_STOPS_WITH(container->resolve<outer::inner::Hidden>("prod"), notResolved("Hidden:prod"));

  container->registerService<Widget>([] { return std::make_shared<Widget>(); })
      .scope(std::make_shared<IncompleteScope>());
  EXPECT_STOPS_WITH(container->optional<Widget>(), "abstract");
}

TEST_F(ResolverTest, ArgsReachFactoriesAndMutatorsWhichRunOnNewServicesOnlyOnePerForm) {
  const Resolver::Args plain(42);
  EXPECT_EQ(plain.get<int>(), 42);
  EXPECT_EQ(plain.get<int>(""), 42);
  EXPECT_EQ(plain.optional<int>("other"), std::nullopt);
  EXPECT_EQ(plain.optional<std::string>(), std::nullopt);

  const Resolver::Args map(Resolver::Args::Map{{"a", 1}, {"b", std::string("two")}});
  EXPECT_EQ(map.get<std::string>("b"), "two");
  EXPECT_EQ(Resolver::Args(std::any(map)).get<int>("a"), 1);  // an Args is taken as it is

  for (const Resolver::Args& nil : {Resolver::Args(std::any{}), Resolver::Args(std::nullopt),
                                    Resolver::Args(std::any(std::nullopt))}) {
    EXPECT_EQ(nil.args().size(), 1u);
    EXPECT_FALSE(nil.args().begin()->second.has_value());  // nil, not a nullopt_t value
  }
  EXPECT_EQ(Resolver::Args(std::any("text")).get<std::string>(), "text");

  EXPECT_STOPS_WITH(plain.get<int>("other"),
                    "RESOLVER: Args has no value for key 'other' (asked as int).");
  EXPECT_STOPS_WITH(plain.get<std::string>(),
                    "RESOLVER: Args value for the first entry has type int, not string.");

  // Arguments reach the factory and the argument mutator.
  container
      ->registerService([](Resolver&, const Resolver::Args& args) {
        return Point{args.get<int>("x"), 0};
      })
      .resolveProperties([](Resolver&, Point& p, const Resolver::Args& args) {
        p.y = args.optional<int>("y").value_or(-1);
      });
  auto p = container->resolve<Point>(std::nullopt, Resolver::Args::Map{{"x", 3}, {"y", 4}});
  EXPECT_EQ(p->x, 3);
  EXPECT_EQ(p->y, 4);
  // A string literal given to resolve or optional arrives as a std::string.
  container->registerService<Widget>([](Resolver&, const Resolver::Args& args) {
    return std::make_shared<Widget>(args.get<std::string>());
  });
  EXPECT_EQ(container->resolve<Widget>(std::nullopt, "hi")->label, "hi");
  EXPECT_EQ(container->optional<Widget>(std::nullopt, "ho")->label, "ho");

  int calls = 0;
  container->registerService<Widget>(widgetFactory("w"))
      .resolveProperties([&](Resolver&, Widget& w) { w.label += "-first"; })
      .resolveProperties([&](Resolver&, Widget& w) {
        ++calls;
        w.label += "-mutated";
      });
  EXPECT_EQ(container->resolve<Widget>()->label, "w-mutated");
  container->registerService<Gadget>([]() -> std::shared_ptr<Gadget> { return nullptr; })
      .resolveProperties([&](Resolver&, Gadget&) { ++calls; });
  EXPECT_EQ(container->optional<Gadget>(), nullptr);
  EXPECT_EQ(calls, 1);
}

TEST_F(ResolverTest, CacheScopesKeepInstancesUntilResetCallAgainForNothingAndCopyValues) {
  int made = 0;
  const auto counted = [&] {
    ++made;
    return std::make_shared<Widget>();
  };
  Resolver::registerInMain<Widget>(counted).scope(Resolver::application());
  auto first = Resolver::resolveFromRoot<Widget>();
  EXPECT_EQ(Resolver::resolveFromRoot<Widget>(), first);
  EXPECT_EQ(made, 1);

  // Same cacheKey in the second cache scope: its own instance.
  auto other = std::make_shared<Resolver>();
  other->registerService<Widget>([] { return std::make_shared<Widget>(); })
      .scope(Resolver::cached());
  EXPECT_NE(other->resolve<Widget>(), first);
  EXPECT_EQ(other->resolve<Widget>(), other->resolve<Widget>());

  Resolver::reset();
  Resolver::registerInMain<Widget>(counted).scope(Resolver::application());
  EXPECT_NE(Resolver::resolveFromRoot<Widget>(), first);
  EXPECT_EQ(made, 2);

  int calls = 0;
  container
      ->registerService<Gadget>([&]() -> std::shared_ptr<Gadget> {
        return ++calls == 1 ? nullptr : std::make_shared<Gadget>();
      })
      .scope(Resolver::application());
  EXPECT_EQ(container->optional<Gadget>(), nullptr);
  EXPECT_NE(container->optional<Gadget>(), nullptr);
  EXPECT_EQ(calls, 2);

  int points = 0;
  container->registerService([&] { return Point{++points, 0}; }).scope(Resolver::application());
  auto a = container->resolve<Point>();
  a->y = 99;  // a value: changing one copy leaves the kept value alone
  auto b = container->resolve<Point>();
  EXPECT_NE(a, b);
  EXPECT_EQ(b->x, 1);
  EXPECT_EQ(b->y, 0);
  EXPECT_EQ(points, 1);
}

struct Leaf {
  int id = 0;
};
struct Pair {
  std::shared_ptr<Leaf> first, second;
  std::shared_ptr<Point> p1, p2;
};

TEST_F(ResolverTest, GraphSharesWithinOneResolutionShareWhileSomebodyHoldsItUniqueNever) {
  int leaves = 0;
  container->registerService<Leaf>([&] { return std::make_shared<Leaf>(Leaf{++leaves}); });
  container->registerService<Point>([] { return Point{}; });
  container->registerService<Pair>([](Resolver& r) {
    return std::make_shared<Pair>(
        Pair{r.resolve<Leaf>(), r.resolve<Leaf>(), r.resolve<Point>(), r.resolve<Point>()});
  });
  auto one = container->resolve<Pair>();
  EXPECT_EQ(one->first, one->second);
  EXPECT_NE(one->p1, one->p2);  // values are made anew even within one resolution
  auto two = container->resolve<Pair>();
  EXPECT_NE(two->first, one->first);
  EXPECT_NE(container->resolve<Leaf>(), container->resolve<Leaf>());  // outermost: always new
  EXPECT_EQ(leaves, 4);

  // A factory that throws ends its resolution too: what it shared is not handed out next time.
  std::shared_ptr<Leaf> shared;
  container->registerService<Gadget>([&](Resolver& r) -> std::shared_ptr<Gadget> {
    throw std::runtime_error("failed after " + std::to_string((shared = r.resolve<Leaf>())->id));
  });
  EXPECT_THROW(container->resolve<Gadget>(), std::runtime_error);
  EXPECT_NE(container->resolve<Pair>()->first, shared);

  container->registerService<Widget>([] { return std::make_shared<Widget>(); })
      .scope(Resolver::shared());
  auto held = container->resolve<Widget>();
  EXPECT_EQ(container->resolve<Widget>(), held);
  std::weak_ptr<Widget> gone = held;
  held.reset();
  EXPECT_TRUE(gone.expired());
  EXPECT_NE(container->resolve<Widget>(), nullptr);

  container->registerService<Point>([] { return Point{}; }).scope(Resolver::shared());
  auto p = container->resolve<Point>();
  EXPECT_NE(container->resolve<Point>(), p);

  // The unique scope, here as the default scope, never shares.
  Resolver::setDefaultScope(Resolver::unique());
  container->registerService<Leaf>([] { return std::make_shared<Leaf>(); });
  container->registerService<Pair>([](Resolver& r) {
    return std::make_shared<Pair>(Pair{r.resolve<Leaf>(), r.resolve<Leaf>(), nullptr, nullptr});
  });
  auto pair = container->resolve<Pair>();
  EXPECT_NE(pair->first, pair->second);
}

TEST_F(ResolverTest, ImplementsRegistersTheOtherTypeInTheOwningContainer) {
  container->registerService<Printer>([] { return std::make_shared<Printer>(); })
      .scope(Resolver::application())
      .implements<Reporter>()
      .implements<Reporter>("named");
  auto printer = container->resolve<Printer>();
  EXPECT_EQ(container->resolve<Reporter>().get(), printer.get());
  EXPECT_EQ(container->resolve<Reporter>("named")->report(), "printed");

  // The further registration resolves from the asking container.
  auto child = std::make_shared<Resolver>(container);
  child->registerService<Printer>([] { return std::make_shared<Printer>(); })
      .scope(Resolver::unique());
  EXPECT_NE(child->resolve<Reporter>().get(), printer.get());

  // Unrelated types are handed out as nothing.
  container->registerService<Widget>([] { return std::make_shared<Widget>(); })
      .implements<Reporter>("widget");
  EXPECT_EQ(container->optional<Reporter>("widget"), nullptr);

  // Without a living owner (a container not held by a shared_ptr), implements does nothing.
  Resolver local;
  local.registerService<Printer>([] { return std::make_shared<Printer>(); }).implements<Reporter>();
  EXPECT_EQ(local.optional<Reporter>(), nullptr);

  // A handle keeps its registration alive after it is replaced, and after `reset()`.
  auto inMain = Resolver::registerInMain<Printer>([] { return std::make_shared<Printer>(); });
  Resolver::registerInMain<Printer>([] { return std::make_shared<Printer>(); });
  Resolver::reset();
  EXPECT_EQ(inMain.implements<Reporter>().scope(Resolver::cached()).scope(), Resolver::cached());
}

class CountingRegistrations : public ResolverRegistering {
 public:
  void registerAll() override {
    ++calls;
    Resolver::registerInMain<Widget>([] { return std::make_shared<Widget>(); });
    // Resolving from inside the hook neither deadlocks nor runs the hook again.
    EXPECT_NE(Resolver::resolveFromRoot<Widget>(), nullptr);
  }
  int calls = 0;
};

TEST_F(ResolverTest, RegistrationHookRunsOnceAndAgainAfterReset) {
  auto hook = std::make_shared<CountingRegistrations>();
  Resolver::setRegistering(hook);
  Resolver::reset();
  EXPECT_EQ(hook->calls, 0);
  EXPECT_NE(Resolver::resolveFromRoot<Widget>(), nullptr);
  Resolver::root()->registerServices();
  if (auto op = Resolver::registerServicesOperation()) op();
  EXPECT_EQ(hook->calls, 1);

  Resolver::reset();
  EXPECT_EQ(Resolver::main()->optional<Gadget>(), nullptr);
  EXPECT_EQ(hook->calls, 2);

  // The process-wide operation runs the hook early; resolution does not depend on it.
  Resolver::reset();
  Resolver::registerServicesOperation()();
  EXPECT_EQ(hook->calls, 3);
  Resolver::setRegisterServicesOperation(nullptr);
  EXPECT_NE(Resolver::resolveFromRoot<Widget>(), nullptr);
  EXPECT_EQ(hook->calls, 3);
}

}  // namespace
}  // namespace lumo::registry_test
