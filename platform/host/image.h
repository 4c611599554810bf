// A firmware image: a shared library loaded once per process whose writable data can be put back
// to its load-time state, as a chip reset does to RAM.
#ifndef CAMHOST_IMAGE_H
#define CAMHOST_IMAGE_H

#include <string>

namespace camhost {

struct Image;

// Loads (or finds, when already loaded) the image at `path`; nullptr with `error` set on failure.
Image* image_load(const std::string& path, std::string* error);
// Puts every writable byte of the image back to what it was right after loading.
void image_restore(Image* image);
// The image's entry point.
int (*image_main(Image* image))(void);
void* image_symbol(Image* image, const char* name);

}  // namespace camhost

#endif  // CAMHOST_IMAGE_H
