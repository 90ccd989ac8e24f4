// The residual coder's stream formats, as a refinement section names them (its second byte).
// Apart from codec/residual.h so that the public codec/quality.h can name them.
#pragma once

#include <cstdint>

namespace vantrel {

// Adaptive: one stream of context-modelled decisions over the whole residual. Blocks: blocks of
// residuals, each with its own linear predictor and the adaptive or a Rice code.
enum class ResidualFormat : uint8_t { Adaptive = 0, Blocks = 1 };
inline constexpr ResidualFormat kNewestResidualFormat = ResidualFormat::Blocks;

}  // namespace vantrel
