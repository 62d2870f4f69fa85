#include "link/ahrs_error.hpp"

#include "link/quoted.hpp"

namespace tiltwick {

std::string AHRSError::debug() const { return "AHRSError { error: " + quoted(error) + " }"; }

}  // namespace tiltwick
