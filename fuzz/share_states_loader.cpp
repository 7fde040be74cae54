// The states file as the share states store loads it: any bytes decode or fail without a
// crash, the short reading of saved files agrees with the JSON parser, reading through the file
// agrees with decoding the bytes, and what decodes survives being saved and loaded again.
#include <algorithm>
#include <cstdint>

#include "FuzzSupport.h"
#include "ShareStatesFile.h"
#include "lumo/sharing/ShareStatesManager.h"

using namespace lumo;

namespace {

// Same ids with the same states (set equality alone compares ids).
bool sameStates(const ShareStateModel::Set& a, const ShareStateModel::Set& b) {
  return a.size() == b.size() && std::ranges::all_of(a, [&](const ShareStateModel& model) {
           const auto it = b.find(model);
           return it != b.end() && it->state == model.state;
         });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::asText(data, size);
  const Result<ShareStateModel::Set> decoded = ShareStatesFile::decode(text);
  const Result<ShareStateModel::Set> parsed = ShareStatesFile::decodeAnyForm(text);
  LUMO_FUZZ_CHECK(parsed.ok() == decoded.ok() && (!parsed || sameStates(*parsed, *decoded)),
                  "the short reading and the JSON parser disagree");

  static const auto path = fuzz::scratchFolder() / ShareStatesManager::kStatesFileName;
  fuzz::writeFile(path, text);
  const Result<ShareStateModel::Set> read = ShareStatesFile(path).read();
  LUMO_FUZZ_CHECK(read.ok() == decoded.ok(), "reading the file and decoding its bytes disagree");
  if (!decoded) return (void)decoded.error().localizedDescription(), 0;
  LUMO_FUZZ_CHECK(sameStates(*read, *decoded), "reading the file and decoding its bytes differ");

  const std::string saved = ShareStatesFile::encode(*decoded);
  const Result<ShareStateModel::Set> reloaded = ShareStatesFile::decode(saved);
  LUMO_FUZZ_CHECK(reloaded.ok(), "a saved states file does not load: " + saved);
  LUMO_FUZZ_CHECK(sameStates(*reloaded, *decoded), "saving and loading changed states: " + saved);
  return 0;
}
