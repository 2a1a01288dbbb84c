#include "app/audio/AudioStream.h"
#include "app/audio/tests/AudioTestSupport.h"

using namespace audiotest;

namespace {

class Timing : public AudioModelTest {
  protected:
    std::shared_ptr<AudioDevice> deviceWith(std::vector<AudioValueRange> rates,
                                            std::vector<AudioValueRange> buffers) {
        auto config = AudioDeviceConfig::builtInMicrophone();
        config.sampleRateRanges = std::move(rates);
        config.bufferFrameSizeRanges = std::move(buffers);
        return AudioDevice::lookup(SimHardware::addDevice(config));
    }
};

TEST_F(Timing, NominalSampleRates) {
    struct Case {
        std::vector<AudioValueRange> ranges;
        std::vector<Float64> rates;
        std::size_t debugLines;
    };
    std::vector<Case> cases{
        {{{44100, 44100}, {48000, 48000}}, {44100, 48000}, 0},
        {{{8000, 48000}}, {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}, 0},
        {{{8000, 50000}}, {}, 1},
        {{{96000, 96000}, {8000, 50000}, {44100, 48000}}, {96000, 44100, 48000}, 1},
        {{}, {}, 0},
    };
    const std::string failure =
        "Failed to obtain list of supported sample rates ranging from 8000.000000 to "
        "50000.000000. This is an error in AudioSystem and should be reported to the project "
        "maintainers.";
    for (const auto& c : cases) {
        log_->clear();
        auto device = deviceWith(c.ranges, {{16, 512}});
        EXPECT_EQ(device->nominalSampleRates(), c.rates);
        EXPECT_EQ(log_->records().size(), c.debugLines);
        EXPECT_EQ(debugLines(failure), c.debugLines);
    }
    auto device = deviceWith({{48000, 48000}}, {{16, 512}});
    SimHardware::removeProperty(
        device->objectID,
        propertyAddress(kAudioDevicePropertyAvailableNominalSampleRates, Scope::wildcard));
    EXPECT_EQ(device->nominalSampleRates(), std::nullopt);
}

TEST_F(Timing, BufferFrameSizes) {
    struct Case {
        std::vector<AudioValueRange> ranges;
        std::optional<std::vector<UInt32>> sizes;
    };
    std::vector<Case> cases{
        {{{14, 512}}, std::vector<UInt32>{16, 32, 64, 128, 256, 512}},
        {{{100, 4096}}, std::vector<UInt32>{112, 128, 256, 512, 1024, 2048, 4096}},
        {{{64, 64}, {1024, 8192}}, std::vector<UInt32>{64, 1024, 2048, 4096}},
        // The rounded-up minimum is offered only when the device can run at it.
        {{{500, 505}}, std::vector<UInt32>{}},
        // ... in any of its ranges.
        {{{500, 505}, {505, 520}}, std::vector<UInt32>{512}},
        {{{100, 100}, {96, 300}}, std::vector<UInt32>{112, 128, 256}},
        // A minimum below one frame still ends, offering the sizes it holds.
        {{{0.5, 64}}, std::vector<UInt32>{16, 32, 64}},
        {{{0, 5e12}}, std::vector<UInt32>{16, 32, 64, 128, 256, 512, 1024, 2048, 4096}},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto device = deviceWith({{48000, 48000}}, c.ranges);
        EXPECT_EQ(device->bufferFrameSizes(), c.sizes)
            << (c.ranges.empty() ? 0 : c.ranges[0].mMinimum);
    }
}

TEST_F(Timing, RatesBuffersAndLatency) {
    auto device = deviceWith({{44100, 44100}, {48000, 48000}}, {{16, 4096}});
    EXPECT_EQ(device->nominalSampleRate(), 48000.0);
    EXPECT_TRUE(device->setNominalSampleRate(44100));
    EXPECT_EQ(device->nominalSampleRate(), 44100.0);
    EXPECT_EQ(device->actualSampleRate(), 48000.0);
    EXPECT_EQ(device->latency(Scope::input), 32u);
    EXPECT_EQ(device->safetyOffset(Scope::input), 16u);
    EXPECT_EQ(device->bufferFrameSize(Scope::input), 512u);
    EXPECT_TRUE(device->setBufferFrameSize(256, Scope::input));
    EXPECT_EQ(device->bufferFrameSize(Scope::global), 256u);
    // One input stream of latency 8, device latency 32, offset 16, buffer 256.
    EXPECT_EQ(device->presentationLatency(Scope::input), 8u + 32u + 16u + 256u);
    EXPECT_DOUBLE_EQ(*device->presentationLatencyInSeconds(Scope::input), 312.0 / 48000.0);
    EXPECT_EQ(device->presentationLatency(Scope::output), 0u + 0u + 256u);

    SimHardware::removeProperty(device->objectID,
                                propertyAddress(kAudioDevicePropertyActualSampleRate));
    EXPECT_EQ(device->presentationLatencyInSeconds(Scope::input), std::nullopt);
    EXPECT_EQ(defaultLines("Unable to get actualSampleRate from device"), 1u);
}

TEST_F(Timing, LatencySumsSaturate) {
    auto device = deviceWith({{48000, 48000}}, {{16, 512}});
    SimHardware::changeValue(device->objectID,
                             propertyAddress(kAudioDevicePropertyLatency, Scope::input),
                             sim::AudioPropertyValue::u32(0xFFFFFFF0u));
    EXPECT_EQ(device->presentationLatency(Scope::input), 0xFFFFFFFFu);
}

}  // namespace
