// The JSON decoding of every wire model; the first byte picks the model, the rest is the body.
// Nothing throws, and a body that decodes re-encodes to JSON that decodes to the same value.
#include <cstdint>
#include <span>

#include "FuzzSupport.h"
#include "lumo/account/User.h"
#include "lumo/api/CompleteUploadRequest.h"
#include "lumo/api/CompleteUploadResponse.h"
#include "lumo/api/DeleteUploadRequest.h"
#include "lumo/api/DeleteUploadResponse.h"
#include "lumo/api/Empty.h"
#include "lumo/api/JSONDecoder.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/api/ModelErrorResponse.h"
#include "lumo/api/PreSignedPost.h"
#include "lumo/api/PresignedFields.h"
#include "lumo/api/ProfileResponse.h"
#include "lumo/api/StartUploadRequest.h"
#include "lumo/api/StartUploadResponse.h"

using namespace lumo;

namespace {

template <typename Model>
void roundTrip(std::span<const std::uint8_t> body) {
  const JSONDecoder decoder;
  Result<Model> decoded = decoder.decode<Model>(body);
  if (!decoded) {
    const DecodingError* failure = decoded.error().template as<DecodingError>();
    LUMO_FUZZ_CHECK(failure != nullptr, "a failed decoding is no DecodingError");
    return (void)failure->description();
  }
  // Decoded text is valid UTF-8, so encoding it cannot fail.
  Result<std::vector<std::uint8_t>> encoded = JSONEncoder().encode(*decoded);
  LUMO_FUZZ_CHECK(encoded.ok(), "a decoded model does not encode");
  Result<Model> again = decoder.decode<Model>(*encoded);
  LUMO_FUZZ_CHECK(again.ok(), "an encoded model does not decode");
  LUMO_FUZZ_CHECK(*again == *decoded, "decode(encode(model)) != model");
}

using RoundTrip = void (*)(std::span<const std::uint8_t>);
// clang-format off
constexpr RoundTrip kModels[] = {
    roundTrip<StartUploadRequest>, roundTrip<StartUploadResponse>, roundTrip<CompleteUploadRequest>,
    roundTrip<CompleteUploadResponse>, roundTrip<DeleteUploadRequest>, roundTrip<DeleteUploadResponse>,
    roundTrip<ProfileResponse>, roundTrip<ModelErrorResponse>, roundTrip<PreSignedPost>,
    roundTrip<PresignedFields>, roundTrip<Empty>, roundTrip<User>};
// clang-format on

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  kModels[data[0] % std::size(kModels)](std::span(data + 1, size - 1));
  return 0;
}
