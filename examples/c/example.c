/* Compresses a synthetic signal to a PSNR of 60 dB through vantrel's C interface, decodes it,
 * and checks the quality reached against its own computation. Exits non-zero on any failure. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <vantrel/vantrel_c.h>

#define NUM_SAMPLES 50000

static int fail(const char* what, vtrl_status status) {
  fprintf(stderr, "%s: %s (%s)\n", what, vtrl_status_text(status), vtrl_last_error());
  return 1;
}

int main(void) {
  static float x[NUM_SAMPLES];
  uint8_t* packed = NULL;
  size_t packed_size = 0, count = 0, i;
  float* y = NULL;
  vtrl_quality reached;
  vtrl_status status;
  double lo = INFINITY, hi = -INFINITY, squares = 0.0, psnr;
  uint32_t version = vtrl_api_version();

  /* A library of another major version, or an older minor one, is not the interface built for. */
  if (!VTRL_API_COMPATIBLE(version)) {
    fprintf(stderr, "vantrel C interface %u.%u, built for %d.%d\n", (unsigned)(version >> 16),
            (unsigned)(version & 0xFFFFu), VTRL_API_VERSION_MAJOR, VTRL_API_VERSION_MINOR);
    return 1;
  }
  for (i = 0; i < NUM_SAMPLES; ++i) {
    const double t = (double)i / 1000.0;
    x[i] = (float)(sin(2 * 3.14159265358979 * 5 * t) + 0.3 * sin(2 * 3.14159265358979 * 50 * t));
  }
  x[100] = NAN; /* a gap: the sealed container puts it back */

  status = vtrl_compress_to(x, NUM_SAMPLES, VTRL_FLOAT32, VTRL_PSNR, 60.0, VTRL_ANY_METHOD, 0,
                            &packed, &packed_size, &reached);
  if (status != VTRL_OK) return fail("vtrl_compress_to", status);
  status =
      vtrl_decompress(packed, packed_size, VTRL_FLOAT32, VTRL_REQUIRE_TRAILER, (void**)&y, &count);
  vtrl_free(packed);
  if (status != VTRL_OK) return fail("vtrl_decompress", status);
  if (count != NUM_SAMPLES || !isnan(y[100])) {
    fprintf(stderr, "decoded %lu samples, gap %s\n", (unsigned long)count,
            isnan(y[100]) ? "kept" : "lost");
    vtrl_free(y);
    return 1;
  }
  for (i = 0; i < NUM_SAMPLES; ++i) {
    if (i == 100) continue;
    lo = x[i] < lo ? x[i] : lo;
    hi = x[i] > hi ? x[i] : hi;
    squares += ((double)y[i] - x[i]) * ((double)y[i] - x[i]);
  }
  vtrl_free(y);
  psnr = 20.0 * log10((hi - lo) / sqrt(squares / (NUM_SAMPLES - 1)));
  printf("vantrel %s: %d samples -> %lu bytes (ratio %.1f), PSNR %.2f dB (reported %.2f)\n",
         vtrl_version(), NUM_SAMPLES, (unsigned long)packed_size,
         4.0 * NUM_SAMPLES / (double)packed_size, psnr, reached.psnr);
  return psnr >= 60.0 - 0.05 ? 0 : 1;
}
