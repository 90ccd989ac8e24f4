// vantrel as an HDF5 filter plugin. HDF5 loads this library from HDF5_PLUGIN_PATH, or a program
// registers it (vtrl_h5_register); either way it calls the HDF5 library of the process that
// loaded it, found at run time, and links none of its own: h5py's bundled HDF5 and the system's
// (for h5dump) are both served by the same file. Only HDF5's headers are needed to build it.
//
// Binding: when HDF5 loads a plugin it calls H5PLget_plugin_info from its own code, so the
// return address of that call lies in the HDF5 library that loaded us; its file is reopened
// (without loading anything new) and the few functions the filter uses are looked up there. A
// program that registers the filter itself names the library to use instead.
#include <dlfcn.h>

#include <H5PLextern.h>
#include <hdf5.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "hdf5/chunk.h"

namespace vantrel::h5 {
namespace {

static_assert(H5T_INTEGER == static_cast<int>(kClassInteger) &&
              H5T_FLOAT == static_cast<int>(kClassFloat) && H5T_SGN_NONE == 0 && H5T_SGN_2 == 1);

constexpr std::string_view kUnbound =
    "vantrel filter: the HDF5 library that loaded the plugin was not found";
constexpr std::string_view kBigEndian =
    "vantrel filter: big-endian datasets are not supported; store the data little-endian";
constexpr std::string_view kGrows =
    "vantrel filter: the coded chunk would be larger than the raw chunk; mark the filter optional "
    "to store such chunks raw";
constexpr std::string_view kNoMemory = "vantrel filter: out of memory";
constexpr std::string_view kNoParameters = "vantrel filter: cannot read the filter's parameters";

// The functions and error identifiers of the HDF5 library in use.
struct Hdf5 {
  herr_t (*push)(hid_t, const char*, const char*, unsigned, hid_t, hid_t, hid_t, const char*, ...);
  H5T_class_t (*get_class)(hid_t);
  size_t (*get_size)(hid_t);
  H5T_sign_t (*get_sign)(hid_t);
  H5T_order_t (*get_order)(hid_t);
  int (*get_chunk)(hid_t, int, hsize_t*);
  herr_t (*get_filter_by_id)(hid_t, H5Z_filter_t, unsigned*, size_t*, unsigned*, size_t, char*,
                             unsigned*);
  herr_t (*modify_filter)(hid_t, H5Z_filter_t, unsigned, size_t, const unsigned*);
  herr_t (*register_filter)(const void*);
  void* (*allocate)(size_t, hbool_t);
  herr_t (*release)(void*);
  // Error class and message identifiers, read when an error is pushed (HDF5 sets them when it
  // starts).
  const hid_t* error_class;
  const hid_t* major_pipeline;
  const hid_t* minor_filter;
};

std::mutex g_bind_mutex;
Hdf5 g_hdf5{};
const Hdf5* g_bound = nullptr;  // written once, under the mutex

template <class F>
bool look_up(void* handle, const char* name, F& out) {
  out = reinterpret_cast<F>(dlsym(handle, name));
  return out != nullptr;
}

// Binds to the HDF5 library reachable from `handle`; false (and nothing bound) when any function
// is missing. The first library bound stays bound.
bool bind(void* handle) {
  std::lock_guard lock(g_bind_mutex);
  if (g_bound != nullptr) return true;
  Hdf5 h{};
  const bool found =
      look_up(handle, "H5Epush2", h.push) && look_up(handle, "H5Tget_class", h.get_class) &&
      look_up(handle, "H5Tget_size", h.get_size) && look_up(handle, "H5Tget_sign", h.get_sign) &&
      look_up(handle, "H5Tget_order", h.get_order) &&
      look_up(handle, "H5Pget_chunk", h.get_chunk) &&
      look_up(handle, "H5Pget_filter_by_id2", h.get_filter_by_id) &&
      look_up(handle, "H5Pmodify_filter", h.modify_filter) &&
      look_up(handle, "H5Zregister", h.register_filter) &&
      look_up(handle, "H5allocate_memory", h.allocate) &&
      look_up(handle, "H5free_memory", h.release) &&
      look_up(handle, "H5E_ERR_CLS_g", h.error_class) &&
      look_up(handle, "H5E_PLINE_g", h.major_pipeline) &&
      look_up(handle, "H5E_CANTFILTER_g", h.minor_filter);
  if (!found) return false;
  g_hdf5 = h;
  g_bound = &g_hdf5;
  return true;
}

const Hdf5* hdf5() {
  std::lock_guard lock(g_bind_mutex);
  return g_bound;
}

// Binds to the library holding `address` (code of the HDF5 that calls us), or failing that to
// whatever HDF5 the process exports globally.
void bind_caller(const void* address) {
  if (hdf5() != nullptr) return;
  Dl_info info{};
  if (dladdr(address, &info) != 0 && info.dli_fname != nullptr) {
    if (void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD)) {
      if (bind(handle)) return;  // the handle is kept: the library stays for the process
      dlclose(handle);
    }
  }
  bind(RTLD_DEFAULT);
}

void report(const char* function, std::string_view message) {
  const Hdf5* h = hdf5();
  if (h == nullptr) return;
  const std::string text(message);
  h->push(H5E_DEFAULT, __FILE__, function, __LINE__, *h->error_class, *h->major_pipeline,
          *h->minor_filter, "%s", text.c_str());
}

htri_t can_apply(hid_t, hid_t type, hid_t) noexcept {
  const Hdf5* h = hdf5();
  if (h == nullptr) return -1;
  try {
    const H5T_class_t type_class = h->get_class(type);
    const size_t size = h->get_size(type);
    const unsigned sign = type_class == H5T_INTEGER ? static_cast<unsigned>(h->get_sign(type)) : 0;
    if (type_class < 0 || size == 0) return -1;
    if (!sample_type(static_cast<unsigned>(type_class), static_cast<unsigned>(size), sign)) {
      // The texts of the filter's refusals are those local_words gives.
      const auto refusal =
          local_words({}, static_cast<unsigned>(type_class), static_cast<unsigned>(size), sign,
                      std::span<const uint32_t>());
      report("vantrel_can_apply", refusal ? std::string_view() : refusal.error());
      return -1;
    }
    if (size > 1 && h->get_order(type) != H5T_ORDER_LE) {
      report("vantrel_can_apply", kBigEndian);
      return -1;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    report("vantrel_can_apply", kNoMemory);
    return -1;
  }
}

herr_t set_local(hid_t dcpl, hid_t type, hid_t) noexcept {
  const Hdf5* h = hdf5();
  if (h == nullptr) return -1;
  try {
    unsigned flags = 0;
    size_t count = kMaxWords;
    unsigned values[kMaxWords] = {};
    if (h->get_filter_by_id(dcpl, kFilterId, &flags, &count, values, 0, nullptr, nullptr) < 0) {
      report("vantrel_set_local", kNoParameters);
      return -1;
    }
    // Parameters copied from another dataset carry its local words too: only the caller's count.
    auto user = parse_user({values, std::min(count, kUserWords)});
    if (!user) {
      report("vantrel_set_local", user.error());
      return -1;
    }
    hsize_t dims[kMaxRank] = {};
    const int rank = h->get_chunk(dcpl, static_cast<int>(kMaxRank), dims);
    if (rank < 0) return -1;
    uint32_t chunk[kMaxRank] = {};
    for (int i = 0; i < rank; ++i) chunk[i] = static_cast<uint32_t>(dims[i]);
    const H5T_class_t type_class = h->get_class(type);
    const unsigned sign = type_class == H5T_INTEGER ? static_cast<unsigned>(h->get_sign(type)) : 0;
    auto words = local_words(*user, static_cast<unsigned>(type_class),
                             static_cast<unsigned>(h->get_size(type)), sign,
                             {chunk, static_cast<size_t>(rank)});
    if (!words) {
      report("vantrel_set_local", words.error());
      return -1;
    }
    return h->modify_filter(dcpl, kFilterId, flags, words->size(), words->data());
  } catch (const std::bad_alloc&) {
    report("vantrel_set_local", kNoMemory);
    return -1;
  }
}

// Returns the size of the filtered data in *buf, or 0 for failure (HDF5's convention).
size_t filter(unsigned flags, size_t cd_nelmts, const unsigned cd_values[], size_t nbytes,
              size_t* buf_size, void** buf) noexcept {
  try {
    auto params = parse_words({cd_values, cd_nelmts});
    if (!params) {
      report("vantrel_filter", params.error());
      return 0;
    }
    const auto* in = static_cast<const uint8_t*>(*buf);
    if (flags & H5Z_FLAG_REVERSE) {
      const Hdf5* h = hdf5();
      if (h == nullptr) return 0;
      // The output is exactly the chunk's declared size, whatever the record claims.
      const auto size = static_cast<size_t>(raw_size(params->chunk));
      auto* out = static_cast<uint8_t*>(h->allocate(size, false));
      if (out == nullptr) {
        report("vantrel_filter", kNoMemory);
        return 0;
      }
      if (auto done = decode_chunk(*params, {in, nbytes}, {out, size}); !done) {
        h->release(out);
        report("vantrel_filter", done.error());
        return 0;
      }
      h->release(*buf);
      *buf = out;
      *buf_size = size;
      return size;
    }
    auto record = encode_chunk(*params, {in, nbytes});
    if (!record) {
      report("vantrel_filter", record.error());
      return 0;
    }
    if (record->size() > nbytes) {
      report("vantrel_filter", kGrows);
      return 0;
    }
    std::memcpy(*buf, record->data(), record->size());
    return record->size();
  } catch (const std::bad_alloc&) {
    report("vantrel_filter", kNoMemory);
    return 0;
  }
}

const H5Z_class2_t kFilterClass = {
    H5Z_CLASS_T_VERS,
    static_cast<H5Z_filter_t>(kFilterId),
    1,
    1,
    "vantrel: lossy wavelet compression of sampled signals",
    can_apply,
    set_local,
    filter,
};

}  // namespace
}  // namespace vantrel::h5

extern "C" {

H5PL_type_t H5PLget_plugin_type(void) { return H5PL_TYPE_FILTER; }

const void* H5PLget_plugin_info(void) {
  vantrel::h5::bind_caller(__builtin_return_address(0));
  return &vantrel::h5::kFilterClass;
}

// Registers the filter with the HDF5 library reachable from `library` (a path dlopen accepts:
// the HDF5 library itself or a module linked to it, such as h5py's h5z). Returns HDF5's status
// (negative on failure).
__attribute__((visibility("default"))) int vtrl_h5_register(const char* library) {
  void* handle = dlopen(library, RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr || !vantrel::h5::bind(handle)) return -1;
  const vantrel::h5::Hdf5* h = vantrel::h5::hdf5();
  return h->register_filter(&vantrel::h5::kFilterClass);
}

// The filter ID the plugin registers.
__attribute__((visibility("default"))) int vtrl_h5_filter_id(void) {
  return vantrel::h5::kFilterId;
}

}  // extern "C"
