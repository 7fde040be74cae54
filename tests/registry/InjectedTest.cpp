#include <gtest/gtest.h>

#include "../support/StopMessage.h"
#include "lumo/registry/Injected.h"

namespace lumo::injected_test {
namespace {

struct Clock {
  int ticks = 0;
};
struct Alerts {
  std::string tag;
};

TEST(InjectedTest, WrappersResolveAtConstructionOnFirstReadOrWeaklyAndOptionalOnesMayBeEmpty) {
  Resolver::setRegistering(nullptr);
  Resolver::reset();
  int made = 0;
  Resolver::registerInMain<Clock>([&] {
    ++made;
    return std::make_shared<Clock>();
  });
  Resolver::registerInMain<Alerts>("x", [] { return std::make_shared<Alerts>(Alerts{"root"}); });
  Injected<Clock> fromRoot;
  EXPECT_EQ(made, 1);
  auto container = std::make_shared<Resolver>();
  container->registerService<Clock>("wall", [] { return std::make_shared<Clock>(); })
      .resolveProperties([](Resolver&, Clock& c) { c.ticks = 7; });
  Injected<Clock> named("wall", container);
  EXPECT_EQ(named->ticks, 7);
  EXPECT_STOPS_WITH(Injected<Alerts>(),
                    "RESOLVER: 'Alerts:NONAME' not resolved. To "
                    "disambiguate optionals use resolver.optional().");
  EXPECT_EQ(OptionalInjected<Alerts>().wrappedValue(), nullptr);
  EXPECT_EQ(OptionalInjected<Alerts>("x", container)->tag, "root");  // from the parent
  container->registerService<Alerts>("x", [] { return std::make_shared<Alerts>(Alerts{"own"}); });
  EXPECT_EQ(OptionalInjected<Alerts>("x", container)->tag, "own");

  container->registerService<Alerts>("lazy", [&](Resolver&, const Resolver::Args& args) {
    ++made;
    return std::make_shared<Alerts>(Alerts{args.get<std::string>()});
  });
  LazyInjected<Alerts> lazy;
  lazy.setContainer(container);
  lazy.setName(Resolver::Name("lazy"));
  lazy.setArgs("hello");  // a literal is kept as a std::string
  EXPECT_EQ(lazy->tag, "hello");
  lazy.release();
  EXPECT_TRUE(lazy.isEmpty());
  EXPECT_EQ(lazy->tag, "hello");  // resolves anew after release()
  EXPECT_EQ(made, 3);

  WeakLazyInjected<Clock> weak;  // holds weakly and never resolves twice
  auto held = weak.wrappedValue();
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(weak.wrappedValue(), held);
  held.reset();
  EXPECT_EQ(weak.wrappedValue(), nullptr);
  EXPECT_TRUE(weak.isEmpty());
  EXPECT_EQ(made, 4);
  Resolver::reset();
}

}  // namespace
}  // namespace lumo::injected_test
