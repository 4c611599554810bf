#include "image.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace camhost {

struct Image {
  void* handle = nullptr;
  int (*main)(void) = nullptr;
  struct Range {
    uintptr_t start;
    std::vector<uint64_t> snapshot;  // whole words; the ranges are word aligned
  };
  std::vector<Range> ranges;
};

namespace {

struct FindCtx {
  uintptr_t base;
  std::vector<std::pair<uintptr_t, uintptr_t>> writable;
  std::pair<uintptr_t, uintptr_t> relro{0, 0};
};

int find_segments(struct dl_phdr_info* info, size_t, void* data) {
  auto* ctx = static_cast<FindCtx*>(data);
  if (info->dlpi_addr != ctx->base) return 0;
  for (int i = 0; i < info->dlpi_phnum; i++) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W)) {
      ctx->writable.push_back({start, start + ph.p_memsz});
    } else if (ph.p_type == PT_GNU_RELRO) {
      ctx->relro = {start, start + ph.p_memsz};
    }
  }
  return 1;
}

// The copy must not be seen by the sanitizers: it crosses the redzones they keep between globals.
__attribute__((no_sanitize("address", "undefined"))) void copy_words(volatile uint64_t* dst,
                                                                    const volatile uint64_t* src,
                                                                    size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] = src[i];
}

// Images stay loaded for the life of the process: a later instance restores rather than reloads.
std::map<std::string, Image*>& loaded() {
  static auto* images = new std::map<std::string, Image*>;
  return *images;
}

}  // namespace

Image* image_load(const std::string& path, std::string* error) {
  auto it = loaded().find(path);
  if (it != loaded().end()) return it->second;

  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    *error = std::string("cannot load firmware image: ") + dlerror();
    return nullptr;
  }
  auto* image = new Image;
  image->handle = handle;
  image->main = reinterpret_cast<int (*)(void)>(dlsym(handle, "main"));
  if (!image->main) {
    *error = "firmware image " + path + " has no main";
    dlclose(handle);
    delete image;
    return nullptr;
  }
  struct link_map* map = nullptr;
  dlinfo(handle, RTLD_DI_LINKMAP, &map);
  FindCtx ctx{map->l_addr, {}, {}};
  dl_iterate_phdr(find_segments, &ctx);

  // The loader makes the relocation-only part read-only, page by page; everything else that is
  // writable is the firmware's RAM.
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t ro_start = ctx.relro.first & ~(page - 1);
  uintptr_t ro_end = ctx.relro.second & ~(page - 1);
  for (auto [start, end] : ctx.writable) {
    std::vector<std::pair<uintptr_t, uintptr_t>> parts;
    if (ro_end > ro_start && ro_start < end && ro_end > start) {
      if (start < ro_start) parts.push_back({start, ro_start});
      if (ro_end < end) parts.push_back({ro_end, end});
    } else {
      parts.push_back({start, end});
    }
    for (auto [s, e] : parts) {
      uintptr_t ws = s & ~uintptr_t(7), we = (e + 7) & ~uintptr_t(7);
      Image::Range r{ws, std::vector<uint64_t>((we - ws) / 8)};
      copy_words(r.snapshot.data(), reinterpret_cast<const uint64_t*>(ws), r.snapshot.size());
      image->ranges.push_back(std::move(r));
    }
  }
  loaded()[path] = image;
  return image;
}

void image_restore(Image* image) {
  for (auto& r : image->ranges)
    copy_words(reinterpret_cast<uint64_t*>(r.start), r.snapshot.data(), r.snapshot.size());
}

int (*image_main(Image* image))(void) { return image->main; }

void* image_symbol(Image* image, const char* name) { return dlsym(image->handle, name); }

}  // namespace camhost
