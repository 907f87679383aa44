// The module's chief header: the functions and class members that the module
// body publishes, in the order it binds them.
#pragma once

#include "module/function.h"
#include "module/image.h"

namespace tavrel {

// Module functions, in namespace order.
extern const FuncSpec read_chunk_spec;             // _readChunk
extern const FuncSpec make_chunk_spec;             // _makeChunk
extern const FuncSpec write_png_spec;              // _writePng
extern const FuncSpec split_idat_payload_spec;     // _split_idat_payload
extern const FuncSpec write_png_with_chunks_spec;  // _writePngWithChunks
extern const FuncSpec write_bmp_spec;              // _writeBmp

// Class members, in the order they are added.
extern const FuncSpec stream_to_image_spec;  // Tavrel._streamToImage (static)
extern const FuncSpec open_spec;             // Tavrel.open (class method)
extern const FuncSpec get_pixel_spec;        // Tavrel.getPixel
extern const FuncSpec put_pixel_spec;        // Tavrel.putPixel
// image_copy_spec (Tavrel.copy) is declared in image.h.
extern const FuncSpec save_spec;      // Tavrel.save
extern const FuncSpec save_bmp_spec;  // Tavrel.saveBmp

}  // namespace tavrel
