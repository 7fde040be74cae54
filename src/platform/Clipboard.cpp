#include "lumo/platform/Clipboard.h"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "ClipboardTool.h"
#include "SelectionOwner.h"
#include "WaylandSelectionOwner.h"
#include "XSelectionOwner.h"
#include "lumo/platform/ChildProcess.h"

namespace lumo {
namespace {

using Clock = std::chrono::steady_clock;
using detail::runTool;
using detail::variable;

// Hand-offs still in flight anywhere in the process: its exit waits for them.
struct InFlight {
  std::mutex mu;
  std::condition_variable done;
  int count = 0;  // guarded by mu
};

InFlight& inFlight() {
  static auto* const flights = new InFlight;  // the exit handler uses it: never destroyed
  return *flights;
}

void waitForHandOffsAtExit() {
  InFlight& flights = inFlight();
  std::unique_lock lock(flights.mu);
  flights.done.wait_for(lock, Clipboard::kExitWait, [&] { return flights.count == 0; });
}

// An in-process owner that fits an environment: where its copies go, the display it owns the
// selection of, how to connect to it, and the environment its hand-off tools run in.
struct OwnerKind {
  Clipboard::Destination destination;
  std::string display;
  std::unique_ptr<SelectionOwner> (*connect)(const std::string& display);
  Clipboard::Environment tools;
  // A compositor may lack the protocol the owner needs (GNOME has no data-control): the tools
  // are then the path, and no connection is no problem.
  bool optional = false;
};

std::unique_ptr<SelectionOwner> connectX(const std::string& display) {
  return XSelectionOwner::connect(display);
}

// The Wayland owner keeps its own bounds: the clipboard's deadlines become its timeouts. The
// protocol sends a text in one stream of any length, so it takes any text.
class WaylandOwner final : public SelectionOwner {
 public:
  explicit WaylandOwner(std::unique_ptr<WaylandSelectionOwner> owner) : owner_(std::move(owner)) {}
  bool usable() const override { return owner_->usable(); }
  std::size_t maxText() const override { return std::numeric_limits<std::size_t>::max(); }
  bool own(std::string_view text, Clock::time_point deadline) override {
    const auto left = timeLeft(deadline);
    return left.count() > 0 && owner_->own(text, left);
  }
  std::optional<std::string> ownedText(Clock::time_point deadline) override {
    const auto left = timeLeft(deadline);
    if (left.count() <= 0) return std::nullopt;
    return owner_->ownedText(left);
  }

 private:
  static std::chrono::milliseconds timeLeft(Clock::time_point deadline) {
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  }
  const std::unique_ptr<WaylandSelectionOwner> owner_;
};

std::unique_ptr<SelectionOwner> connectWayland(const std::string& display) {
  auto owner = WaylandSelectionOwner::connect(display);
  return owner ? std::make_unique<WaylandOwner>(std::move(owner)) : nullptr;
}

std::optional<OwnerKind> ownerKindFor(const Clipboard::Environment& environment) {
  if (!environment.inProcessOwner) return std::nullopt;
  if (!environment.waylandDisplay.empty()) {
    // Handed off to wl-copy alone: xclip would give the text to Xwayland's selection instead.
    Clipboard::Environment tools{environment.waylandDisplay, "", environment.path};
    return OwnerKind{Clipboard::Destination::wayland, environment.waylandDisplay, &connectWayland,
                     std::move(tools), true};
  }
  if (!environment.display.empty()) {
    return OwnerKind{Clipboard::Destination::x11, environment.display, &connectX, environment};
  }
  return std::nullopt;
}

// A connection made on a worker thread, which a copy out of time leaves behind: the next copy
// to the same display waits for the same attempt instead of starting another.
struct Connecting {
  explicit Connecting(std::string d) : display(std::move(d)) {}
  const std::string display;
  std::mutex mu;
  std::condition_variable done;
  bool finished = false;                  // guarded by mu
  std::unique_ptr<SelectionOwner> owner;  // guarded by mu
};

std::string describe(std::chrono::milliseconds duration) {
  return std::to_string(duration.count()) + " ms";
}

}  // namespace

struct Clipboard::State {
  // The fields below are the copy's own: only the copy whose turn it is (see `copying`) uses
  // them.
  std::shared_ptr<SelectionOwner> owner;  // absent: not connected
  std::string ownerDisplay;
  std::shared_ptr<Connecting> connecting;  // a connection still being made

  // Held only for moments, never across a wait on the display or a tool.
  mutable std::mutex mu;
  // Copies take turns: a copy waits for its turn until its own deadline, so that one stuck on
  // the display delays the next by no more than the next one's bound. (A condition rather than
  // a timed mutex, whose clock-based lock the thread sanitizer does not follow.)
  bool copying = false;                        // guarded by mu
  std::condition_variable turn;                // signalled when a copy ends
  std::condition_variable handedOff;           // signalled when a hand-off ends
  bool handingOff = false;                     // guarded by mu
  std::optional<Destination> handedTo;         // guarded by mu; where the last hand-off went
  std::optional<std::string> memoryText;       // guarded by mu
  std::optional<Destination> lastDestination;  // guarded by mu
  std::optional<std::string> lastProblem;      // guarded by mu

  // Waits until no hand-off is in flight; false if one still is at `deadline`.
  bool waitForHandOff(Clock::time_point deadline) {
    std::unique_lock lock(mu);
    return handedOff.wait_until(lock, deadline, [&] { return !handingOff; });
  }

  // The owner of `kind`'s display, connected if need be; null (with `problem` set) when the
  // display cannot be reached by `deadline`. Called in a copy's turn.
  std::shared_ptr<SelectionOwner> ownerFor(const OwnerKind& kind, Clock::time_point deadline,
                                           std::chrono::milliseconds timeout, std::string& problem);
  // Gives `text`, which `owner` has just taken, to the first tool that takes it, on a thread
  // of its own.
  static void startHandOff(const std::shared_ptr<State>& state,
                           std::shared_ptr<SelectionOwner> owner, Environment tools,
                           std::string text, std::chrono::milliseconds timeout);
};

std::shared_ptr<SelectionOwner> Clipboard::State::ownerFor(const OwnerKind& kind,
                                                           Clock::time_point deadline,
                                                           std::chrono::milliseconds timeout,
                                                           std::string& problem) {
  if (owner && (ownerDisplay != kind.display || !owner->usable())) owner.reset();
  if (owner) return owner;
  // xcb waits for the server's greeting without a bound: the connection is made on a worker
  // that a display which never answers keeps to itself.
  if (!connecting || connecting->display != kind.display) {
    connecting = std::make_shared<Connecting>(kind.display);
    try {
      std::thread([attempt = connecting, connect = kind.connect] {
        auto made = connect(attempt->display);
        std::lock_guard lock(attempt->mu);
        attempt->owner = std::move(made);
        attempt->finished = true;
        attempt->done.notify_all();
      }).detach();
    } catch (const std::system_error&) {
      connecting.reset();
      problem = "no thread to connect to the display " + kind.display + " with";
      return nullptr;
    }
  }
  {
    std::unique_lock lock(connecting->mu);
    if (!connecting->done.wait_until(lock, deadline, [&] { return connecting->finished; })) {
      problem = "the display " + kind.display + " did not answer within " + describe(timeout);
      return nullptr;
    }
    owner = std::move(connecting->owner);
  }
  connecting.reset();
  ownerDisplay = kind.display;
  if (!owner && !kind.optional) problem = "cannot connect to the display " + kind.display;
  return owner;
}

void Clipboard::State::startHandOff(const std::shared_ptr<State>& state,
                                    std::shared_ptr<SelectionOwner> owner, Environment tools,
                                    std::string text, std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(state->mu);
    state->handingOff = true;
    state->handedTo.reset();
  }
  {
    std::lock_guard lock(inFlight().mu);
    ++inFlight().count;
  }
  auto handOff = [state, owner = std::move(owner), tools = std::move(tools), text = std::move(text),
                  timeout] {
    const auto deadline = Clock::now() + timeout;
    std::optional<Destination> where = Destination::memory;  // served by us while we live
    for (const Command& command : commandsFor(tools)) {
      // Another client took the selection since our copy: its text is the newer one.
      if (!owner->ownedText(deadline)) {
        where.reset();
        break;
      }
      if (!runTool(command, tools, text, deadline)) continue;
      where = command.destination;
      // The tool's child takes the selection a moment after the tool exits; until then,
      // the hand-off is in flight.
      while (owner->ownedText(deadline) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      break;
    }
    {
      std::lock_guard lock(state->mu);
      state->handingOff = false;
      state->handedTo = where;
    }
    state->handedOff.notify_all();
    std::lock_guard lock(inFlight().mu);
    --inFlight().count;
    inFlight().done.notify_all();
  };
  try {
    std::thread(handOff).detach();  // a copy: a thread that fails to start leaves ours whole
  } catch (const std::system_error&) {
    handOff();  // no thread to spare: the copy waits for its own hand-off
  }
}

Clipboard::Environment Clipboard::Environment::current() {
  return Environment{variable("WAYLAND_DISPLAY"), variable("DISPLAY"), variable("PATH")};
}

Clipboard& Clipboard::general() {
  static Clipboard* clipboard = new Clipboard();
  return *clipboard;
}

Clipboard::Clipboard() : timeout_(kDefaultTimeout), state_(std::make_shared<State>()) {}

Clipboard::Clipboard(Environment environment, std::chrono::milliseconds timeout)
    : environment_(std::move(environment)), timeout_(timeout), state_(std::make_shared<State>()) {}

Clipboard::~Clipboard() {
  state_->waitForHandOff(Clock::now() + kExitWait);
}

std::vector<Clipboard::Command> Clipboard::commandsFor(const Environment& environment) {
  std::vector<Command> commands;
  if (!environment.waylandDisplay.empty()) {
    if (auto path = ChildProcess::findProgram("wl-copy", environment.path)) {
      commands.push_back({Destination::wlCopy, *path, {}});
    }
  }
  if (!environment.display.empty()) {
    if (auto path = ChildProcess::findProgram("xclip", environment.path)) {
      commands.push_back({Destination::xclip, *path, {"-selection", "clipboard"}});
    }
    if (auto path = ChildProcess::findProgram("xsel", environment.path)) {
      commands.push_back({Destination::xsel, *path, {"--clipboard", "--input"}});
    }
  }
  return commands;
}

Clipboard::Destination Clipboard::setText(std::string_view text) {
  const Clock::time_point deadline = Clock::now() + timeout_;
  const Environment environment = environment_ ? *environment_ : Environment::current();
  // The process's exit waits for the hand-offs in flight: the one thing of ours that runs at
  // exit (docs/conventions.md).
  static std::once_flag exitHandler;
  std::call_once(exitHandler, [] { std::atexit(waitForHandOffsAtExit); });

  State& state = *state_;
  std::string problem;
  auto done = [&](Destination destination) {
    std::lock_guard lock(state.mu);
    if (destination == Destination::memory) state.memoryText = std::string(text);
    if (destination != Destination::x11 && destination != Destination::wayland) {
      state.handedTo.reset();
    }
    state.lastDestination = destination;
    state.lastProblem = problem.empty() ? std::nullopt : std::optional(problem);
    return destination;
  };
  {
    std::unique_lock lock(state.mu);
    if (!state.turn.wait_until(lock, deadline, [&] { return !state.copying; })) {
      lock.unlock();
      problem = "an earlier copy held the clipboard for " + describe(timeout_);
      return done(Destination::memory);
    }
    state.copying = true;
  }
  struct EndOfTurn {
    State& state;
    ~EndOfTurn() {
      {
        std::lock_guard lock(state.mu);
        state.copying = false;
      }
      state.turn.notify_one();
    }
  } endOfTurn{state};
  // The tool of the last hand-off would take the selection from this copy if it came later.
  if (!state.waitForHandOff(deadline)) {
    problem = "the hand-off of the previous copy did not end within " + describe(timeout_);
    return done(Destination::memory);
  }
  if (const auto kind = ownerKindFor(environment)) {
    if (auto owner = state.ownerFor(*kind, deadline, timeout_, problem)) {
      // A text too large for one request goes to the tools, which can send it in parts.
      if (text.size() > owner->maxText()) {
        problem = "the text is too large to be owned in-process";
      } else if (owner->own(text, deadline)) {
        State::startHandOff(state_, std::move(owner), kind->tools, std::string(text), timeout_);
        return done(kind->destination);
      } else {
        problem = "the display " + kind->display + " did not make us the owner";
      }
    }
  }
  for (const Command& command : commandsFor(environment)) {
    if (Clock::now() >= deadline) break;
    if (runTool(command, environment, text, deadline)) return done(command.destination);
    problem +=
        (problem.empty() ? "" : "; ") + std::string(toString(command.destination)) + " failed";
  }
  if (Clock::now() >= deadline) problem += "; no time left for the tools";
  return done(Destination::memory);
}

std::optional<Clipboard::Destination> Clipboard::handOff() {
  if (!state_->waitForHandOff(Clock::now() + timeout_)) return std::nullopt;
  std::lock_guard lock(state_->mu);
  return state_->handedTo;
}

std::vector<std::string> Clipboard::types(Clock::time_point deadline) {
  std::vector<std::string> types;
  if (auto listed = readWith("", deadline)) {
    for (std::size_t at = 0, end = 0; at < listed->size(); at = end + 1) {
      end = std::min(listed->find('\n', at), listed->size());
      if (end > at) types.push_back(listed->substr(at, end - at));
    }
  }
  return types;
}

std::optional<std::string> Clipboard::read(std::string_view mimeType, Clock::time_point deadline) {
  if (mimeType.empty()) return std::nullopt;  // the tools would list the types instead
  return readWith(mimeType, deadline);
}

std::optional<std::string> Clipboard::readWith(std::string_view type, Clock::time_point deadline) {
  auto got =
      detail::readTool(environment_ ? *environment_ : Environment::current(), type, deadline);
  if (!got.bytes) {
    std::lock_guard lock(state_->mu);
    state_->lastProblem = std::move(got.problem);
  }
  return std::move(got.bytes);
}

std::optional<Clipboard::Destination> Clipboard::lastDestination() const {
  std::lock_guard lock(state_->mu);
  return state_->lastDestination;
}

std::optional<std::string> Clipboard::memoryText() const {
  std::lock_guard lock(state_->mu);
  return state_->memoryText;
}

std::optional<std::string> Clipboard::lastProblem() const {
  std::lock_guard lock(state_->mu);
  return state_->lastProblem;
}

std::string_view toString(Clipboard::Destination destination) {
  switch (destination) {
    case Clipboard::Destination::x11:
      return "x11";
    case Clipboard::Destination::wayland:
      return "wayland";
    case Clipboard::Destination::wlCopy:
      return "wl-copy";
    case Clipboard::Destination::xclip:
      return "xclip";
    case Clipboard::Destination::xsel:
      return "xsel";
    case Clipboard::Destination::memory:
      return "memory";
  }
  return "memory";
}

}  // namespace lumo
