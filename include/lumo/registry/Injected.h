#pragma once

#include <any>
#include <memory>
#include <optional>
#include <utility>

#include "lumo/registry/Resolver.h"

namespace lumo {

// Injection fields: a class holds its collaborators through these, named after the service
// with a leading underscore, and never constructs them itself.
//
//   class ShareManager : public ShareService {
//     Injected<LogService> _logService;                 // resolved at construction
//     OptionalInjected<GlobalAlertsService> _alerts;    // may be empty
//     LazyInjected<ShareStatesService> _shareStates;    // resolved on first use
//     void run() { _logService->debug("Current tasks count = " + std::to_string(n)); }
//   };
//
// Without a container the wrappers resolve from `Resolver::root()`. They are plain values with
// no locking: a wrapper is read and written by its owner only.

// A required collaborator, resolved when the wrapper is constructed; a missing registration
// stops the process with the container's message.
template <typename Service>
class Injected {
 public:
  Injected() : service_(Resolver::resolveFromRoot<Service>()) {}
  // Resolves with `name` from `container`, or from the root when no container is given.
  explicit Injected(const std::optional<Resolver::Name>& name,
                    const std::shared_ptr<Resolver>& container = nullptr)
      : service_(container ? container->resolve<Service>(name)
                           : Resolver::resolveFromRoot<Service>(name)) {}

  const std::shared_ptr<Service>& wrappedValue() const { return service_; }
  void setWrappedValue(std::shared_ptr<Service> service) { service_ = std::move(service); }
  Injected& projectedValue() { return *this; }

  Service* operator->() const { return service_.get(); }
  Service& operator*() const { return *service_; }

 private:
  std::shared_ptr<Service> service_;
};

// An optional collaborator, resolved when the wrapper is constructed; empty when nothing is
// registered.
template <typename Service>
class OptionalInjected {
 public:
  OptionalInjected() : service_(Resolver::optionalFromRoot<Service>()) {}
  // Asks `container` (when given) with `name`; when it gives nothing, asks the root with the
  // same name.
  explicit OptionalInjected(const std::optional<Resolver::Name>& name,
                            const std::shared_ptr<Resolver>& container = nullptr) {
    if (container) service_ = container->optional<Service>(name);
    if (!service_) service_ = Resolver::optionalFromRoot<Service>(name);
  }

  const std::shared_ptr<Service>& wrappedValue() const { return service_; }
  void setWrappedValue(std::shared_ptr<Service> service) { service_ = std::move(service); }
  OptionalInjected& projectedValue() { return *this; }

  explicit operator bool() const { return service_ != nullptr; }
  // Only when the service is there.
  Service* operator->() const { return service_.get(); }

 private:
  std::shared_ptr<Service> service_;
};

// A required collaborator resolved on first read (from `container()` when set, otherwise from
// the root, with `name()` and `args()`); a missing registration then stops the process.
// `release()` drops the service; the next read resolves again.
template <typename Service>
class LazyInjected {
 public:
  LazyInjected() = default;
  explicit LazyInjected(std::optional<Resolver::Name> name,
                        std::shared_ptr<Resolver> container = nullptr)
      : container_(std::move(container)), name_(std::move(name)) {}

  const std::shared_ptr<Service>& wrappedValue() {
    if (initialize_) {
      initialize_ = false;
      service_ = container_ ? container_->resolve<Service>(name_, args_)
                            : Resolver::resolveFromRoot<Service>(name_, args_);
    }
    return service_;
  }
  // Replaces the held service; a first read still resolves.
  void setWrappedValue(std::shared_ptr<Service> service) { service_ = std::move(service); }
  LazyInjected& projectedValue() { return *this; }
  Service* operator->() { return wrappedValue().get(); }
  Service& operator*() { return *wrappedValue(); }

  // True while no service is held.
  bool isEmpty() const { return service_ == nullptr; }
  // Drops the held service; the next read resolves anew.
  void release() {
    service_ = nullptr;
    initialize_ = true;
  }

  const std::shared_ptr<Resolver>& container() const { return container_; }
  void setContainer(std::shared_ptr<Resolver> container) { container_ = std::move(container); }
  const std::optional<Resolver::Name>& name() const { return name_; }
  void setName(std::optional<Resolver::Name> name) { name_ = std::move(name); }
  const std::any& args() const { return args_; }
  void setArgs(std::any args) { args_ = std::move(args); }

 private:
  bool initialize_ = true;
  std::shared_ptr<Service> service_;
  std::shared_ptr<Resolver> container_;
  std::optional<Resolver::Name> name_;
  std::any args_;
};

// An optional collaborator resolved on first read, as LazyInjected, and held weakly: reads give
// the service while somebody else keeps it alive, and empty afterwards. It never resolves
// twice.
template <typename Service>
class WeakLazyInjected {
 public:
  WeakLazyInjected() = default;
  explicit WeakLazyInjected(std::optional<Resolver::Name> name,
                            std::shared_ptr<Resolver> container = nullptr)
      : container_(std::move(container)), name_(std::move(name)) {}

  std::shared_ptr<Service> wrappedValue() {
    if (initialize_) {
      initialize_ = false;
      auto service = container_ ? container_->resolve<Service>(name_, args_)
                                : Resolver::resolveFromRoot<Service>(name_, args_);
      service_ = service;
      return service;
    }
    return service_.lock();
  }
  void setWrappedValue(const std::shared_ptr<Service>& service) { service_ = service; }
  WeakLazyInjected& projectedValue() { return *this; }

  // True while no live service is held.
  bool isEmpty() const { return service_.expired(); }

  const std::shared_ptr<Resolver>& container() const { return container_; }
  void setContainer(std::shared_ptr<Resolver> container) { container_ = std::move(container); }
  const std::optional<Resolver::Name>& name() const { return name_; }
  void setName(std::optional<Resolver::Name> name) { name_ = std::move(name); }
  const std::any& args() const { return args_; }
  void setArgs(std::any args) { args_ = std::move(args); }

 private:
  bool initialize_ = true;
  std::weak_ptr<Service> service_;
  std::shared_ptr<Resolver> container_;
  std::optional<Resolver::Name> name_;
  std::any args_;
};

}  // namespace lumo
