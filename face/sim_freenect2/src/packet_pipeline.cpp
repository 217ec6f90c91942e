// Simulated sensor: the packet pipelines it is built with (the CPU one only) and the library's default choice.
#include <cstdlib>
#include <string>

#include <libfreenect2/packet_pipeline.h>

#include "sim_internal.h"

namespace libfreenect2 {

PacketPipeline::~PacketPipeline() = default;

CpuPacketPipeline::CpuPacketPipeline() = default;
CpuPacketPipeline::~CpuPacketPipeline() = default;

// The simulated sensor has no packets to parse or process.
PacketPipeline::PacketParser *CpuPacketPipeline::getRgbPacketParser() const { return nullptr; }
PacketPipeline::PacketParser *CpuPacketPipeline::getIrPacketParser() const { return nullptr; }
RgbPacketProcessor *CpuPacketPipeline::getRgbPacketProcessor() const { return nullptr; }
DepthPacketProcessor *CpuPacketPipeline::getDepthPacketProcessor() const { return nullptr; }

namespace sim {

// The library's rule: the pipeline LIBFREENECT2_PIPELINE names when it is built in, else the best one built in.
const PacketPipeline *create_default_pipeline() {
    const char *named = std::getenv("LIBFREENECT2_PIPELINE");
    if (named && std::string(named) != "cpu") log(Logger::Warning, "`" + std::string(named) + "' pipeline is not available.");
    return new CpuPacketPipeline();
}

std::string pipeline_kind(const PacketPipeline *pipeline) {
    if (!pipeline) return "none";
    return dynamic_cast<const CpuPacketPipeline *>(pipeline) ? "CpuPacketPipeline" : "another PacketPipeline";
}

}  // namespace sim
}  // namespace libfreenect2
