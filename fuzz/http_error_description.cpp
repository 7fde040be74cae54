// `HTTPError`'s text for a bad response with an arbitrary body: always some text, the "error"
// member of a JSON object when it is a string, otherwise the object itself, readable again.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "FuzzSupport.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/JSONDecoder.h"

using namespace lumo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> body(data, data + size);
  const HTTPError error = HTTPError::badResponse(500, body);
  const std::optional<std::string> description = error.errorDescription();
  LUMO_FUZZ_CHECK(description.has_value(), "a bad response without a description");
  LUMO_FUZZ_CHECK(localizedDescription(error) == *description, "the two descriptions differ");

  const std::optional<nlohmann::json> object = JSONDecoder::parseObject(body);
  if (!object) {
    LUMO_FUZZ_CHECK(*description == "Bad response", "no JSON object, but: " + *description);
    return 0;
  }
  const auto member = object->find("error");
  if (member != object->end() && member->is_string())
    LUMO_FUZZ_CHECK(*description == member->get<std::string>(), "not the \"error\" text");
  else
    LUMO_FUZZ_CHECK(nlohmann::json::parse(*description, nullptr, false) == *object,
                    "the printed object does not read back: " + *description);
  return 0;
}
