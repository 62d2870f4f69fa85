#include "link/commands.hpp"

#include "link/diagnostics.hpp"
#include "link/mip_packet.hpp"

namespace tiltwick {

std::expected<void, IoError> send_idle_and_streams_off(Port& port) {
    auto* configured = std::get_if<Configured>(&port.state());
    if (configured == nullptr) {
        print_err(refusal_line(port.state()));
        return {};
    }
    const MipPacket commands[] = {
        {Descriptor::CommandBase, {0x02, 0x02}},                    // set to idle
        {Descriptor::Command3DM, {0x05, 0x11, 0x01, 0x01, 0x00}},  // sensor stream off
        {Descriptor::Command3DM, {0x05, 0x11, 0x01, 0x03, 0x00}},  // estimation-filter stream off
    };
    for (const auto& command : commands) {
        if (auto written = MipPacket::write_to(configured->line, command); !written) return written;
    }
    return {};
}

}  // namespace tiltwick
