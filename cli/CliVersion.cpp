// The text of "trimora-cli --version": the four-part version of the build.
#include <string>

namespace cli {

std::string VersionText() {
  // An empty definition (a version without that part) counts as 0.
  return "trimora-cli " + std::to_string(TRIMORA_VERSION_MAJOR + 0) + "." + std::to_string(TRIMORA_VERSION_MINOR + 0) +
         "." + std::to_string(TRIMORA_VERSION_PATCH + 0) + "." + std::to_string(TRIMORA_VERSION_TWEAK + 0) + "\n";
}

}  // namespace cli
