/* vantrel's C interface: lossy wavelet compression of one-dimensional sampled signals.
 *
 *   uint8_t* packed = NULL;
 *   size_t packed_size = 0;
 *   if (vtrl_compress_to(x, n, VTRL_FLOAT32, VTRL_PSNR, 60.0, VTRL_ANY_METHOD, 0, &packed,
 *                        &packed_size, NULL) != VTRL_OK) {
 *     fprintf(stderr, "%s\n", vtrl_last_error());
 *   }
 *   float* y = NULL;
 *   size_t m = 0;
 *   if (vtrl_decompress(packed, packed_size, VTRL_FLOAT32, 0, (void**)&y, &m) == VTRL_OK) use(y,
 * m); vtrl_free(y); vtrl_free(packed);
 *
 * Containers. Every function here writes sealed containers unless VTRL_PLAIN is given: the
 * container (header and payload, readable by every vantrel decoder) followed by a trailer holding
 * a CRC-32C of all its bytes and the runs of samples that were NaN or infinite. Before coding,
 * those samples are filled from their finite neighbours (so they widen nothing); decoding checks
 * the checksum and puts them back exactly. A plain container (VTRL_PLAIN) is the one
 * vantrel.compress_signal writes: no checksum, and non-finite samples coded as the codec
 * sanitises them (NaN and -inf as 0, +inf as 1). Decoding reads both kinds.
 *
 * Samples. The codec works in 32-bit floats: float64 samples are coded as the nearest float32
 * (a finite one beyond the float32 range is refused), integers as their values. Decoding into an
 * integer type rounds to the nearest integer (halves to even) and clips to the type's range.
 *
 * Errors. Every function returns a status; on failure the outputs are NULL or 0 and
 * vtrl_last_error() describes the failure in one line. Nothing else crosses this interface: no
 * C++ exception, no abort on bad data or exhausted memory.
 *
 * Threads. Every function may be called from any number of threads at once; the library keeps no
 * state between calls except each thread's last error text.
 *
 * Ownership. Buffers passed in are only read, during the call, and stay the caller's. Every buffer
 * the library returns (a container, decoded samples) belongs to the caller, who releases it with
 * vtrl_free (and not with another allocator's free). Texts returned are the library's.
 *
 * Versions. VTRL_API_VERSION is the version of this header; vtrl_api_version() that of the
 * library loaded. A program built with this header runs with a library of the same major
 * version and a minor version at least as high: minor versions only add functions and
 * constants; types, layouts and the meaning of existing functions change only with the major
 * version, which is also the shared library's soname version (libvantrel_c.so.1).
 *
 * Enumerations are passed as int (`type` is a vtrl_type, `metric` a vtrl_metric), so that a foreign
 * caller may pass any value: unknown ones are refused. The header is C99 and C++ compatible. */
#ifndef VANTREL_VANTREL_C_H
#define VANTREL_VANTREL_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VTRL_API __attribute__((visibility("default")))
#else
#define VTRL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define VTRL_API_VERSION_MAJOR 1
#define VTRL_API_VERSION_MINOR 1
#define VTRL_API_VERSION ((VTRL_API_VERSION_MAJOR << 16) | VTRL_API_VERSION_MINOR)
/* Whether a library whose vtrl_api_version() is `v` serves a program built with this header:
 * the same major version and a minor version at least this header's. */
#define VTRL_API_COMPATIBLE(v) \
  (((v) >> 16) == VTRL_API_VERSION_MAJOR && VTRL_API_VERSION_MINOR < ((v)&0xFFFFu) + 1u)

typedef enum vtrl_status {
  VTRL_OK = 0,
  VTRL_INVALID_ARGUMENT = 1, /* a null pointer, an unknown code, a buffer too small */
  VTRL_REFUSED = 2,          /* the codec refuses the samples, options or target */
  VTRL_DAMAGED = 3,          /* not a container, or its bytes are not the ones written */
  VTRL_TOO_NEW = 4,          /* a trailer of a later version than this library reads */
  VTRL_NO_MEMORY = 5,
  VTRL_INTERNAL = 6 /* a failure inside the library that no input should cause */
} vtrl_status;

/* Sample types. */
typedef enum vtrl_type {
  VTRL_FLOAT32 = 0,
  VTRL_FLOAT64 = 1,
  VTRL_INT8 = 2,
  VTRL_UINT8 = 3,
  VTRL_INT16 = 4,
  VTRL_UINT16 = 5,
  VTRL_INT32 = 6,
  VTRL_UINT32 = 7
} vtrl_type;

/* Wavelets; VTRL_ANY_METHOD lets vtrl_compress_to choose. */
enum { VTRL_CDF53 = 0, VTRL_CDF97 = 1, VTRL_DB4 = 2, VTRL_SYM4 = 3, VTRL_ANY_METHOD = -1 };
/* Dead-zone widths. */
enum { VTRL_CUTOFF_LOW = 0, VTRL_CUTOFF_MEDIUM = 1, VTRL_CUTOFF_HIGH = 2 };
/* Entropy coders; VTRL_CODER_AUTO is the context model. */
enum { VTRL_CODER_DEFLATE = 0, VTRL_CODER_ARANS = 1, VTRL_CODER_CMODEL = 2, VTRL_CODER_AUTO = -1 };

/* Quality metrics: a PSNR in dB to reach at least (peak = max - min of the original); a PRD in
 * percent, an RMSE or a largest absolute error (in the signal's units) to stay within. */
typedef enum vtrl_metric {
  VTRL_PSNR = 0,
  VTRL_PRD = 1,
  VTRL_RMSE = 2,
  VTRL_MAX_ERROR = 3
} vtrl_metric;

/* Flags. */
#define VTRL_PLAIN 0x1u           /* compress: no trailer (no checksum, gaps not kept) */
#define VTRL_REQUIRE_TRAILER 0x2u /* decompress: refuse a container without a trailer */

typedef struct vtrl_options {
  int method;        /* VTRL_CDF97 by default */
  int scale;         /* 6 to 12, 11 by default; the multiplier is 2^scale */
  int cutoff;        /* VTRL_CUTOFF_LOW by default */
  int coder;         /* VTRL_CODER_AUTO by default */
  double multiplier; /* > 0 replaces 2^scale; 0 (the default) keeps it */
} vtrl_options;

typedef struct vtrl_quality {
  double psnr, prd, rmse, max_error;
} vtrl_quality;

/* VTRL_API_VERSION of the library loaded. */
VTRL_API uint32_t vtrl_api_version(void);
/* The codec's version, such as "0.1.0". */
VTRL_API const char* vtrl_version(void);
/* The text of the calling thread's last failure ("" before any); valid until that thread's next
 * call into the library. */
VTRL_API const char* vtrl_last_error(void);
/* A fixed text for each status (never NULL). */
VTRL_API const char* vtrl_status_text(int status);

/* Fills `options` with the defaults. */
VTRL_API void vtrl_options_init(vtrl_options* options);

/* Compresses `count` samples of `type` with `options` (NULL: the defaults). On success
 * *container is a new buffer of *size bytes. flags: 0 or VTRL_PLAIN. */
VTRL_API vtrl_status vtrl_compress(const void* samples, size_t count, int type,
                                   const vtrl_options* options, unsigned flags, uint8_t** container,
                                   size_t* size);

/* The smallest container the search finds whose decoded samples meet the target, with `method`
 * or, for VTRL_ANY_METHOD, the wavelet that gives the smallest. *achieved (when not NULL)
 * receives the quality reached. A target no container reaches is refused, the text naming the
 * closest value reachable. flags: 0 or VTRL_PLAIN. Integer samples are judged as decoding into
 * their type returns them, rounded and clipped: the target holds for the integers read back (a
 * max_error below 1 thus asks for them unchanged). Available from interface version 1.1. */
VTRL_API vtrl_status vtrl_compress_to(const void* samples, size_t count, int type, int metric,
                                      double value, int method, unsigned flags, uint8_t** container,
                                      size_t* size, vtrl_quality* achieved);

/* The number of samples a container decodes to, read from its header. */
VTRL_API vtrl_status vtrl_sample_count(const uint8_t* container, size_t size, size_t* count);

/* Decodes a container into a new buffer of *count samples of `type`. Bytes after the container
 * (and its trailer) are ignored. flags: 0 or VTRL_REQUIRE_TRAILER. */
VTRL_API vtrl_status vtrl_decompress(const uint8_t* container, size_t size, int type,
                                     unsigned flags, void** samples, size_t* count);

/* Decodes a container into the caller's buffer of `capacity` samples of `type`, refusing a
 * container of more samples before decoding anything. */
VTRL_API vtrl_status vtrl_decompress_into(const uint8_t* container, size_t size, int type,
                                          unsigned flags, void* samples, size_t capacity,
                                          size_t* count);

/* Releases a buffer the library returned; NULL is allowed. */
VTRL_API void vtrl_free(void* buffer);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_VANTREL_C_H */
