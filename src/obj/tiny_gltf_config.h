// tinygltf as the glTF reader uses it: no file system of its own, no image
// decoding, nlohmann-json for the JSON.
#pragma once

// Its writer needs this even without a file system of its own.
#include <fstream>

#define TINYGLTF_NO_FS
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#include <tiny_gltf.h>
