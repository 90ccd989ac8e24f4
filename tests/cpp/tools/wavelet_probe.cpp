// Drives the convolution wavelets from other test suites.
//
//   wavelet_probe table <db|sym> <order>
//       the member's double-precision low-pass table, one value per line (17 digits)
//   wavelet_probe forward <db|sym> <order> <mode> [general] < samples
//       reads float32 samples as decimal text from stdin, runs one forward level and its inverse,
//       and prints three lines: the approximation, the details and the inverse (9 digits each).
//       <mode> is clamp, wrap, reflect, reflect_no_edge or zero; "general" takes the general
//       N-tap executor instead of the factory's choice.
//
// Exit status 2 for bad arguments, 1 when the transform reports an error (printed to stderr).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wavelet/convolution.h"
#include "wavelet/factory.h"
#include "wavelet/filters.h"

namespace {

using namespace vantrel;

struct Member {
  bool symlet;
  int index;  // DaubechiesFamily or SymletFamily value
};

std::optional<Member> parse_member(const char* family, const char* order) {
  const int n = std::atoi(order);
  if (std::strcmp(family, "db") == 0 && n >= 1 && n <= 24) return Member{false, n - 1};
  if (std::strcmp(family, "sym") == 0 && n >= 2 && n <= 20) return Member{true, n - 2};
  return std::nullopt;
}

std::optional<BorderMode> parse_mode(const char* name) {
  static const char* const kNames[] = {"clamp", "wrap", "reflect", "reflect_no_edge", "zero"};
  for (uint32_t i = 0; i < 5; ++i) {
    if (std::strcmp(name, kNames[i]) == 0) return static_cast<BorderMode>(i);
  }
  return std::nullopt;
}

std::span<const double> table_of(Member m) {
  return m.symlet ? symlet_low_pass(static_cast<SymletFamily>(m.index))
                  : daubechies_low_pass(static_cast<DaubechiesFamily>(m.index));
}

std::shared_ptr<const IncompleteDwtExecutor> executor_of(Member m, BorderMode mode, bool general) {
  if (general) {
    const std::span<const double> table = table_of(m);
    const std::vector<float> low(table.begin(), table.end());
    auto made = DwtFactory::wavelet_n_taps(mode, low);
    if (!made.ok()) return nullptr;
    return made.value();
  }
  if (m.symlet) return Osclet::make_symlet_f32(static_cast<SymletFamily>(m.index), mode);
  return Osclet::make_daubechies_f32(static_cast<DaubechiesFamily>(m.index), mode);
}

void print_line(std::span<const float> values) {
  for (size_t i = 0; i < values.size(); ++i) {
    std::printf(i == 0 ? "%.9g" : " %.9g", static_cast<double>(values[i]));
  }
  std::printf("\n");
}

int usage() {
  std::fprintf(stderr,
               "usage: wavelet_probe table <db|sym> <order>\n"
               "       wavelet_probe forward <db|sym> <order> <mode> [general] < samples\n");
  return 2;
}

int run_forward(Member member, BorderMode mode, bool general) {
  std::vector<float> x;
  float v;
  while (std::scanf("%f", &v) == 1) x.push_back(v);
  const auto dwt = executor_of(member, mode, general);
  if (!dwt) return usage();
  const DwtSize size = dwt->dwt_size(x.size());
  std::vector<float> approx(size.approx), details(size.details);
  const WaveletStatus forward = dwt->execute_forward(x, approx, details);
  if (!forward.ok()) {
    std::fprintf(stderr, "%s\n", forward.error().to_string().c_str());
    return 1;
  }
  std::vector<float> inverse(dwt->idwt_size(approx.size(), details.size()));
  const WaveletStatus back = dwt->execute_inverse(approx, details, inverse);
  if (!back.ok()) {
    std::fprintf(stderr, "%s\n", back.error().to_string().c_str());
    return 1;
  }
  print_line(approx);
  print_line(details);
  print_line(inverse);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const std::optional<Member> member = parse_member(argv[2], argv[3]);
  if (!member) return usage();
  if (std::strcmp(argv[1], "table") == 0 && argc == 4) {
    for (double h : table_of(*member)) std::printf("%.17g\n", h);
    return 0;
  }
  if (std::strcmp(argv[1], "forward") == 0 && (argc == 5 || argc == 6)) {
    const std::optional<BorderMode> mode = parse_mode(argv[4]);
    if (!mode) return usage();
    if (argc == 6 && std::strcmp(argv[5], "general") != 0) return usage();
    return run_forward(*member, *mode, argc == 6);
  }
  return usage();
}
