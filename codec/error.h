// The codec's error values and every message text they render to, the lower layers' errors
// included. Lower-layer errors (rANS, context model, wavelet) become text exactly once, where a
// VantrelError wraps them.
#pragma once

#include <cstdint>
#include <string>

#include "codec/vantrel_error.h"
#include "wavelet/error.h"

namespace vantrel {

enum class AransError : uint8_t { Truncated = 0, BadLength = 1 };
enum class CModelError : uint8_t { Truncated = 0, BadLength = 1 };
// The residual coder's errors: the stream ended early; the stream decoded but does not end where
// its bytes do (it was damaged or belongs to other samples); a value the coder cannot hold.
enum class ResidualError : uint8_t { Truncated = 0, Corrupt = 1, OutOfRange = 2 };
// Why the body of a refinement section cannot be read; each text reads as the reason a container
// is damaged.
enum class RefinementError : uint8_t {
  CutShort = 0,         // shorter than its fixed fields and the smallest residual stream
  UnknownKind = 1,      // a quantisation this reader does not know
  BadQuantisation = 2,  // a width, grid or bin no writer makes (reserved bytes not zero too)
  CountDisagrees = 3,   // written for another number of samples than the base has
};
// Why decoded values cannot be returned in their sample type; the text reads as the reason a
// container is damaged.
enum class FinishError : uint8_t {
  IntegerNaN = 0,  // a sample of an integer type is NaN
};

void render(AransError e, std::string& out);
void render(CModelError e, std::string& out);
void render(ResidualError e, std::string& out);
void render(RefinementError e, std::string& out);
void render(FinishError e, std::string& out);
std::string to_string(AransError e);
std::string to_string(CModelError e);
std::string to_string(ResidualError e);
std::string to_string(RefinementError e);
std::string to_string(FinishError e);

// Stops the process: the codec was about to let a library write past a buffer it owns, which no
// input can cause. `what` names the buffer.
[[noreturn]] void internal_buffer_error(const char* what);

}  // namespace vantrel
