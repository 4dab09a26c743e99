// The one translation unit that compiles tinygltf's implementation. It never
// touches the file system or decodes images itself: the glTF reader hands it
// a file reader of its own, and images are not needed for geometry.
#define TINYGLTF_IMPLEMENTATION
#include "obj/tiny_gltf_config.h"
