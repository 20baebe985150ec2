#include "capture/jpeg_writer.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

namespace snapvane {
namespace {

constexpr size_t kMessageBufferSize = 200;  // what format_message may write
static_assert(kMessageBufferSize >= JMSG_LENGTH_MAX);

// The standard error manager plus where to go after a fatal error and where this
// call's messages are collected.
struct RecoveringErrorManager {
  jpeg_error_mgr base;  // first, so the library's pointer is ours too
  std::jmp_buf recover;
  CaptureResult* result;
};

void CollectJpegMessage(j_common_ptr cinfo) {
  char text[kMessageBufferSize];
  (*cinfo->err->format_message)(cinfo, text);
  reinterpret_cast<RecoveringErrorManager*>(cinfo->err)->result->Add(CaptureStep::kJpeg, text);
}

// A fatal error: keep its message as the standard manager would show it, then
// unwind to WriteJpegRows instead of ending the process.
[[noreturn]] void RecoverFromFatalError(j_common_ptr cinfo) {
  (*cinfo->err->output_message)(cinfo);
  std::longjmp(reinterpret_cast<RecoveringErrorManager*>(cinfo->err)->recover, 1);
}

// Only plain C data lives across the setjmp below: a longjmp must not skip any
// destructor.
bool Encode(jpeg_compress_struct& cinfo, RecoveringErrorManager& err, std::FILE* out,
            JpegRowSource source, void* context, int width, int height, int grey, int quality) {
  if (setjmp(err.recover)) return false;
  jpeg_stdio_dest(&cinfo, out);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = grey ? 1 : 3;
  cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  // One row of scratch from the library's own pool, freed with the object.
  JSAMPARRAY scratch = (*cinfo.mem->alloc_sarray)(
      reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
      static_cast<JDIMENSION>(width) * static_cast<JDIMENSION>(cinfo.input_components), 1);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row =
        const_cast<JSAMPROW>(source(context, static_cast<int>(cinfo.next_scanline), scratch[0]));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);  // flushes and reports a failed write as fatal
  return true;
}

struct PictureRows {
  const uint8_t* pixels;
  size_t rowBytes;
};

const uint8_t* PictureRow(void* context, int y, uint8_t*) {
  const auto* picture = static_cast<const PictureRows*>(context);
  return picture->pixels + static_cast<size_t>(y) * picture->rowBytes;
}

}  // namespace

CaptureResult WriteJpegFile(const uint8_t* pixels, int width, int height, const char* path,
                            int grey, int quality) {
  if (!pixels) return {};
  // Only used once the library has accepted width and height.
  PictureRows picture{pixels, static_cast<size_t>(width > 0 ? width : 0) * (grey ? 1 : 3)};
  return WriteJpegRows(PictureRow, &picture, width, height, path, grey, quality);
}

CaptureResult WriteJpegRows(JpegRowSource source, void* context, int width, int height,
                            const char* path, int grey, int quality) {
  CaptureResult result;
  RecoveringErrorManager err;
  err.result = &result;
  jpeg_compress_struct cinfo;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.output_message = CollectJpegMessage;
  err.base.error_exit = RecoverFromFatalError;
  if (setjmp(err.recover)) {  // creating the object can fail (out of memory)
    jpeg_destroy_compress(&cinfo);
    return result;
  }
  jpeg_create_compress(&cinfo);

  std::FILE* out = path ? std::fopen(path, "wb") : nullptr;
  if (!out) {
    jpeg_destroy_compress(&cinfo);
    result.Add(CaptureStep::kFile, std::string("can't open ") + (path ? path : "") + "\n");
    return result;
  }
  // The library itself rejects an empty or oversized picture (a fatal error).
  bool written = source && Encode(cinfo, err, out, source, context, width, height, grey, quality);
  jpeg_destroy_compress(&cinfo);
  if (std::fclose(out) != 0) written = false;
  if (!written) std::remove(path);  // never leave half a picture behind
  result.ok = written;
  return result;
}

}  // namespace snapvane
