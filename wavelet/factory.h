// Hands out wavelet executors by method. Every call builds a new immutable executor.
#pragma once

#include <cstdint>
#include <memory>

#include "wavelet/border_mode.h"
#include "wavelet/executor.h"

namespace vantrel {

// Db1 .. Db24; member i has 2(i+1) taps.
enum class DaubechiesFamily : uint8_t {
  Db1 = 0, Db2, Db3, Db4, Db5, Db6, Db7, Db8, Db9, Db10, Db11, Db12,
  Db13, Db14, Db15, Db16, Db17, Db18, Db19, Db20, Db21, Db22, Db23, Db24,
};

// Sym2 .. Sym20; member i has 2(i+2) taps.
enum class SymletFamily : uint8_t {
  Sym2 = 0, Sym3, Sym4, Sym5, Sym6, Sym7, Sym8, Sym9, Sym10, Sym11,
  Sym12, Sym13, Sym14, Sym15, Sym16, Sym17, Sym18, Sym19, Sym20,
};

struct Osclet {
  static std::shared_ptr<const DwtExecutor> make_cdf53_f32();
  static std::shared_ptr<const DwtExecutor> make_cdf97_f32();
  static std::shared_ptr<const DwtExecutor> make_daubechies_f32(DaubechiesFamily member,
                                                                BorderMode border_mode);
  static std::shared_ptr<const DwtExecutor> make_symlet_f32(SymletFamily member,
                                                            BorderMode border_mode);
};

}  // namespace vantrel
