// libjpeg's fatal errors for the reader and the writer: error_exit must not return, so
// it jumps back to the setjmp of the phase that was running, with the message kept.
// Every object that lives across the jump is created before the phase starts, so the
// jump skips no destructor. Kept on the heap: libjpeg holds its address.
#ifndef MONTAGE_DRAWING_JPEG_ERRORS_H
#define MONTAGE_DRAWING_JPEG_ERRORS_H

#include <csetjmp>
#include <cstddef>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace montage::pictures {

struct JpegErrors {
  jpeg_error_mgr manager;
  jpeg_progress_mgr progress;  // the reader's: it bounds the scans of a progressive file
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

inline void JpegFail(j_common_ptr info) {
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  info->err->format_message(info, errors->message);
  std::longjmp(errors->jump, 1);
}

}  // namespace montage::pictures

#endif  // MONTAGE_DRAWING_JPEG_ERRORS_H
