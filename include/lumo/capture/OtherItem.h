#pragma once

#include <memory>
#include <string_view>
#include <utility>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/Url.h"

namespace lumo {

// Any other file shared through the library: an extension that names no other kind, or none.
//
//   OtherItem capture(Url::fileURL(path));
class LUMO_API OtherItem final : public ScreenCapture {
 public:
  explicit OtherItem(Url fileURL) : fileURL_(std::move(fileURL)) {}

  std::unique_ptr<ScreenCapture> clone() const override {
    return std::make_unique<OtherItem>(*this);
  }
  const Url& fileURL() const override { return fileURL_; }

 protected:
  std::string_view kindName() const override { return "OtherItem"; }

 private:
  Url fileURL_;
};

}  // namespace lumo
