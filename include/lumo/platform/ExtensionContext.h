#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/ExtensionItem.h"
#include "lumo/support/Error.h"

namespace lumo {

// The share request that the desktop hands to the share extension: the items to share, and the
// two ways to end the request.
//
// A request is meant to end once, by `completeRequest` or by `cancelRequest`. Implementations
// are safe to use from any thread.
class LUMO_API ExtensionContext {
 public:
  virtual ~ExtensionContext() = default;

  // The request's input items. An empty pointer stands for an input item of a kind the
  // extension cannot read.
  virtual std::vector<std::shared_ptr<ExtensionItem>> inputItems() const = 0;

  // Ends the request successfully, handing `items` back to the sharing application.
  // `completionHandler`, when given, learns whether the extension's time had run out.
  virtual void completeRequest(std::vector<std::shared_ptr<ExtensionItem>> items,
                               std::function<void(bool expired)> completionHandler) = 0;

  // Ends the request as cancelled because of `error`.
  virtual void cancelRequest(const Error& error) = 0;
};

}  // namespace lumo
