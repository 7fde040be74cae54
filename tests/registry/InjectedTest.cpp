#include <gtest/gtest.h>

#include "../support/StopMessage.h"
#include "lumo/registry/Injected.h"

namespace lumo::injected_test {
namespace {

struct Clock {
  virtual ~Clock() = default;
  int ticks = 0;
};
struct Alerts {
  std::string tag;
};

class InjectedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver::setRegistering(nullptr);
    Resolver::reset();
  }
  void TearDown() override { Resolver::reset(); }
};

TEST_F(InjectedTest, InjectedResolvesAtConstructionOrStopsWhereOptionalInjectedIsEmpty) {
  int made = 0;
  Resolver::registerInMain<Clock>([&] {
    ++made;
    return std::make_shared<Clock>();
  });
  Injected<Clock> fromRoot;
  EXPECT_EQ(made, 1);
  fromRoot->ticks = 5;

  auto container = std::make_shared<Resolver>();
  container->registerService<Clock>("wall", [] { return std::make_shared<Clock>(); })
      .resolveProperties([](Resolver&, Clock& c) { c.ticks = 7; });
  Injected<Clock> named("wall", container);
  EXPECT_EQ(named.wrappedValue()->ticks, 7);
  named.projectedValue().setWrappedValue(fromRoot.wrappedValue());
  EXPECT_EQ(named->ticks, 5);

  EXPECT_STOPS_WITH(Injected<Alerts>(),
                    "RESOLVER: 'Alerts:NONAME' not resolved. To disambiguate optionals use "
                    "resolver.optional().");

  OptionalInjected<Alerts> missing;
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.wrappedValue(), nullptr);

  Resolver::registerInMain<Alerts>("x", [] { return std::make_shared<Alerts>(Alerts{"root"}); });
  auto empty = std::make_shared<Resolver>();
  OptionalInjected<Alerts> fallback("x", empty);
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->tag, "root");

  empty->registerService<Alerts>("x", [] { return std::make_shared<Alerts>(Alerts{"own"}); });
  EXPECT_EQ(OptionalInjected<Alerts>("x", empty)->tag, "own");
}

TEST_F(InjectedTest, LazyWrappersResolveOnFirstRead) {
  int made = 0;
  auto container = std::make_shared<Resolver>();
  container->registerService<Alerts>("lazy", [&](Resolver&, const Resolver::Args& args) {
    ++made;
    return std::make_shared<Alerts>(Alerts{args.get<std::string>()});
  });
  LazyInjected<Alerts> lazy;
  lazy.setContainer(container);
  lazy.setName(Resolver::Name("lazy"));
  lazy.setArgs("hello");  // a literal is kept as a std::string
  EXPECT_EQ(made, 0);
  EXPECT_TRUE(lazy.isEmpty());
  EXPECT_EQ(lazy->tag, "hello");
  EXPECT_EQ(made, 1);
  EXPECT_FALSE(lazy.isEmpty());

  lazy.release();
  EXPECT_TRUE(lazy.isEmpty());
  EXPECT_EQ(lazy->tag, "hello");  // resolves anew after release()
  EXPECT_EQ(made, 2);

  // WeakLazyInjected holds weakly and never resolves twice.
  int clocks = 0;
  Resolver::registerInMain<Clock>([&] {
    ++clocks;
    return std::make_shared<Clock>();
  });
  WeakLazyInjected<Clock> weak;
  EXPECT_TRUE(weak.isEmpty());
  auto held = weak.wrappedValue();
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(weak.wrappedValue(), held);
  EXPECT_FALSE(weak.isEmpty());
  held.reset();
  EXPECT_EQ(weak.wrappedValue(), nullptr);
  EXPECT_TRUE(weak.isEmpty());
  EXPECT_EQ(clocks, 1);
}

}  // namespace
}  // namespace lumo::injected_test
