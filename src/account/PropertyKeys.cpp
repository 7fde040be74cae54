#include "lumo/account/PropertyKeys.h"

namespace lumo {

std::string rawValue(PropertyKeys key) {
  switch (key) {
    case PropertyKeys::access_token:
      return "access_token";
    case PropertyKeys::email:
      return "email";
    case PropertyKeys::canUpload:
      return "canUpload";
    case PropertyKeys::refresh_token:
      return "refresh_token";
    case PropertyKeys::refresh_token_update_date:
      return "refresh_token_update_date";
    case PropertyKeys::quota:
      return "quota";
    case PropertyKeys::items:
      return "items";
    case PropertyKeys::finishedTutorial:
      return "finishedTutorial";
  }
  return "";
}

}  // namespace lumo
