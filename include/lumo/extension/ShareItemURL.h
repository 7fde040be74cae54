#pragma once

#include <utility>

#include "lumo/Export.h"
#include "lumo/extension/ShareItem.h"
#include "lumo/platform/Url.h"

namespace lumo {

// A shared file, as a local file URL. This is what the intake produces: `url` names the copy in
// the extension's caches folder.
struct LUMO_API ShareItemURL : ShareItem {
  explicit ShareItemURL(Url url) : url(std::move(url)) {}

  Url url;

  friend bool operator==(const ShareItemURL& a, const ShareItemURL& b) { return a.url == b.url; }
};

}  // namespace lumo
