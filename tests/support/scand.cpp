// Test files and the orbis-scand process for the scan-service tests.
#include "tests/support/scand.hpp"

#include <signal.h>

#include <fstream>

namespace zet_test {

const std::string finding = "Orbis.Test.EICAR.UNOFFICIAL";
const std::string dbdir = ZET_SOURCE_DIR "/dist/db";

namespace {

std::uint32_t crc32(const std::string& data) {
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

} // namespace

std::string stored_zip(const std::vector<std::pair<std::string, std::string>>& members) {
    auto le = [](std::string& out, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out += static_cast<char>((v >> (8 * i)) & 0xff);
        }
    };
    std::string zip, central;
    for (const auto& [name, data] : members) {
        const auto offset = static_cast<std::uint32_t>(zip.size());
        const auto crc = crc32(data);
        const auto size = static_cast<std::uint32_t>(data.size());
        const auto nlen = static_cast<std::uint32_t>(name.size());
        le(zip, 0x04034b50, 4), le(zip, 10, 2), le(zip, 0, 2), le(zip, 0, 2), le(zip, 0, 2), le(zip, 0x21, 2);
        le(zip, crc, 4), le(zip, size, 4), le(zip, size, 4), le(zip, nlen, 2), le(zip, 0, 2);
        zip += name + data;
        le(central, 0x02014b50, 4), le(central, 20, 2), le(central, 10, 2), le(central, 0, 2),
            le(central, 0, 2);
        le(central, 0, 2), le(central, 0x21, 2), le(central, crc, 4), le(central, size, 4),
            le(central, size, 4);
        le(central, nlen, 2), le(central, 0, 2), le(central, 0, 2), le(central, 0, 2), le(central, 0, 2);
        le(central, 0, 4), le(central, offset, 4);
        central += name;
    }
    const auto cd_offset = static_cast<std::uint32_t>(zip.size());
    zip += central;
    const auto n = static_cast<std::uint32_t>(members.size());
    le(zip, 0x06054b50, 4), le(zip, 0, 2), le(zip, 0, 2), le(zip, n, 2), le(zip, n, 2);
    le(zip, static_cast<std::uint32_t>(central.size()), 4), le(zip, cd_offset, 4), le(zip, 0, 2);
    return zip;
}

namespace {
// Services may share a socket path (a second instance, a restart), never their notification socket.
int instances = 0;
} // namespace

Service::Service(const TempDir& dir, std::vector<std::string> extra, const std::string& name,
                 std::vector<std::string> env)
    : socket_(dir / (name + ".sock")), stderr_(dir / (name + std::to_string(++instances) + ".err")),
      notify_(dir / (name + std::to_string(instances) + ".notify")) {
    std::vector<std::string> argv{ORBIS_SCAND, "-s", socket_, "-d", dbdir, "-v"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    env.push_back(notify_.env());
    started_ = child_.spawn(argv, env, stderr_);
}

int Service::stop() {
    child_.signal(SIGTERM);
    return child_.exit_code(start_timeout);
}

} // namespace zet_test
