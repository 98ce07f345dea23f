// The checks of ValidatePlugin with a hook before each one, for the probe.
#ifndef MONTAGE_HOST_VALIDATOR_H
#define MONTAGE_HOST_VALIDATOR_H

#include <filesystem>
#include <functional>
#include <string>

#include "montage/host.h"

namespace montage::detail {

// Runs the checks on `library` in order: `onBegin` with a check's name before it runs,
// `onResult` with its result after.
void RunChecks(const std::filesystem::path& library, const std::function<void(const std::string&)>& onBegin,
               const std::function<void(const CheckResult&)>& onResult);

}  // namespace montage::detail

#endif  // MONTAGE_HOST_VALIDATOR_H
