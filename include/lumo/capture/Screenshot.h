#pragma once

#include <memory>
#include <string_view>
#include <utility>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/Url.h"

namespace lumo {

// A screenshot: an image file (png, jpeg or jpg).
//
//   Screenshot capture(Url::fileURL(path));
class LUMO_API Screenshot final : public ScreenCapture {
 public:
  explicit Screenshot(Url fileURL) : fileURL_(std::move(fileURL)) {}

  std::unique_ptr<ScreenCapture> clone() const override {
    return std::make_unique<Screenshot>(*this);
  }
  const Url& fileURL() const override { return fileURL_; }

 protected:
  std::string_view kindName() const override { return "Screenshot"; }

 private:
  Url fileURL_;
};

}  // namespace lumo
