// Calls into a plug-in with what they throw turned into HostError.
#ifndef MONTAGE_HOST_CALL_PLUGIN_H
#define MONTAGE_HOST_CALL_PLUGIN_H

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "montage/host.h"

namespace montage {

// Runs a call into a plug-in and turns what it throws into a HostError naming the
// template: "out of memory in template X" for std::bad_alloc. A HostError (or a type
// derived from it) passes unchanged.
template <class Call>
auto CallPlugin(std::string_view templateName, Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    throw HostError("out of memory in template " + std::string(templateName));
  } catch (const HostError&) {
    throw;
  } catch (const std::exception& error) {
    throw HostError("template " + std::string(templateName) + " failed: " + error.what());
  } catch (...) {
    throw HostError("template " + std::string(templateName) + " failed with an exception of unknown type");
  }
}

}  // namespace montage

#endif  // MONTAGE_HOST_CALL_PLUGIN_H
