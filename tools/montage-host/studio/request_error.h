// A request the studio refuses, with the HTTP status and a message for the person.
#ifndef MONTAGE_STUDIO_REQUEST_ERROR_H
#define MONTAGE_STUDIO_REQUEST_ERROR_H

#include <string>

#include "montage/host.h"

namespace studio {

class RequestError : public montage::HostError {
 public:
  RequestError(int status, const std::string& message) : HostError(message), status_(status) {}
  [[nodiscard]] int Status() const { return status_; }

 private:
  int status_;
};

}  // namespace studio

#endif  // MONTAGE_STUDIO_REQUEST_ERROR_H
