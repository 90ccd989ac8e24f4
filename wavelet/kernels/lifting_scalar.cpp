// Scalar lifting kernels, the reference every vector table reproduces bit for bit, and the choice
// of table.
#include "wavelet/kernels/lifting_kernels.h"

namespace vantrel {

const LiftingKernels kLiftingKernelsScalar = {
    split_predict_loop,
    lift_loop,
    scale_loop,
    predict_merge_loop,
};

const LiftingKernels& active_lifting_kernels() noexcept {
  static const TargetTables<LiftingKernels> tables(kLiftingKernelsScalar,
                                                   VANTREL_AVX2_KERNELS(kLiftingKernelsAvx2));
  return tables.active();
}

}  // namespace vantrel
