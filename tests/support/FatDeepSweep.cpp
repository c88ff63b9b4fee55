#include "support/FatDeepSweep.h"

#include <fstream>
#include <vector>

#include "rules/FatRules.h"
#include "fat/ProfessionalFatRecovery.h"

namespace testkit {

uint64_t SweepFatDirectories(CProfessionalFatRecovery& engine, const std::string& image) {
    engine.ClearProfessionalVec(nullptr);
    engine.InitVirtualDbrInfo();
    std::ifstream in(image, std::ios::binary);
    std::vector<unsigned char> chunk(1 << 20);
    uint64_t sector = 0, handed = 0;
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const size_t got = static_cast<size_t>(in.gcount());
        for (size_t off = 0; off + 512 <= got; off += 512, ++sector) {
            unsigned char* p = chunk.data() + off;
            if (IsFatFileRecord(p)) {
                engine.ParseFatFileRecord(p, sector);
                ++handed;
            } else if (IsFatFDTRecord(p, 512)) {
                engine.ParseFDTFileRecord(p, sector);
                ++handed;
            }
        }
    }
    engine.DealProfessionalRecordVec();
    return handed;
}

}  // namespace testkit
