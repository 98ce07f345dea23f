// A minimal host on the host library: finds a template by name on the default search
// path, builds its keyframes for N inputs and prints each input's pose at four moments.
//
//   minimal_host TEMPLATE [INPUTS]
#include <montage/host.h>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: minimal_host TEMPLATE [INPUTS]\n";
    return 2;
  }
  try {
    const auto catalog = montage::PluginCatalog::Scan(montage::PluginSearchPath());
    const montage::TemplateInfo* info = catalog.Find(argv[1]);
    if (info == nullptr) throw montage::HostError(std::string("no template ") + argv[1]);
    const montage::Plugin plugin = montage::Plugin::Load(info->library);
    const int inputs = argc > 2 ? std::atoi(argv[2]) : info->defaultInputs;
    const montage::Animation animation = montage::BuildAnimation(plugin, inputs);
    std::cout << animation.info.displayName << ": " << animation.inputCount << " inputs\n";
    for (const double time : {0.0, 0.25, 0.5, 1.0}) {
      for (int input = 0; input < animation.inputCount; ++input) {
        std::cout << "t=" << time << " input " << input << ": ";
        if (const auto pose = animation.tracks[input].PoseAt(time)) {
          std::cout << "at (" << pose->posX << ", " << pose->posY << ") scale " << pose->scale << " opacity "
                    << pose->opacity << " rotation " << pose->rotation << '\n';
        } else {
          std::cout << "not shown\n";
        }
      }
    }
  } catch (const montage::HostError& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
  return 0;
}
