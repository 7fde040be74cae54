#pragma once

#include <memory>
#include <string_view>
#include <utility>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/Url.h"

namespace lumo {

// An animated GIF capture (gif).
//
//   GIF capture(Url::fileURL(path));
class LUMO_API GIF final : public ScreenCapture {
 public:
  explicit GIF(Url fileURL) : fileURL_(std::move(fileURL)) {}

  std::unique_ptr<ScreenCapture> clone() const override { return std::make_unique<GIF>(*this); }
  const Url& fileURL() const override { return fileURL_; }

 protected:
  std::string_view kindName() const override { return "GIF"; }

 private:
  Url fileURL_;
};

}  // namespace lumo
