#pragma once
// Simulated sensor: libfreenect2's packet pipelines. A pipeline turns the sensor's USB packets into frames;
// colour decoding is the same in all of them, they differ in the depth processor. The simulated sensor is
// built with the CPU pipeline only.

namespace libfreenect2 {

class DataCallback;
class RgbPacketProcessor;
class DepthPacketProcessor;

// Handed to Freenect2::openDevice, which takes ownership: the device deletes it, and so does a failed open.
class PacketPipeline {
public:
    typedef DataCallback PacketParser;

    virtual ~PacketPipeline();

    virtual PacketParser *getRgbPacketParser() const = 0;
    virtual PacketParser *getIrPacketParser() const = 0;
    virtual RgbPacketProcessor *getRgbPacketProcessor() const = 0;
    virtual DepthPacketProcessor *getDepthPacketProcessor() const = 0;
};

// Needs no display and no GPU.
class CpuPacketPipeline : public PacketPipeline {
public:
    CpuPacketPipeline();
    virtual ~CpuPacketPipeline();

    virtual PacketParser *getRgbPacketParser() const;
    virtual PacketParser *getIrPacketParser() const;
    virtual RgbPacketProcessor *getRgbPacketProcessor() const;
    virtual DepthPacketProcessor *getDepthPacketProcessor() const;
};

}  // namespace libfreenect2
