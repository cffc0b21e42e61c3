#include "audio/pulse/PulseAudioSystem.h"

#include "audio/pulse/PulseClient.h"

namespace lumetta::audio::pulse {

namespace {

unsigned bitsOf(pa_sample_format_t format) {
    switch (format) {
        case PA_SAMPLE_U8:
        case PA_SAMPLE_ALAW:
        case PA_SAMPLE_ULAW:
            return 8;
        case PA_SAMPLE_S16LE:
        case PA_SAMPLE_S16BE:
            return 16;
        case PA_SAMPLE_S24LE:
        case PA_SAMPLE_S24BE:
        case PA_SAMPLE_S24_32LE:
        case PA_SAMPLE_S24_32BE:
            return 24;
        case PA_SAMPLE_S32LE:
        case PA_SAMPLE_S32BE:
        case PA_SAMPLE_FLOAT32LE:
        case PA_SAMPLE_FLOAT32BE:
            return 32;
        default:
            return 0;
    }
}

struct Listing {
    PulseClient* client;
    std::string defaultName;
    std::vector<AudioDeviceInfo> devices;
    bool done = false;
};

template <class Info>
void addDevice(Listing& listing, const Info* info, int eol) {
    if (eol != 0 || !info) {
        listing.done = true;
        listing.client->signal();
        return;
    }
    AudioDeviceInfo d;
    d.name = info->description ? info->description : (info->name ? info->name : "");
    d.uid = info->name ? info->name : "";
    d.channels = info->sample_spec.channels;
    d.sampleRate = info->sample_spec.rate;
    d.bitDepth = bitsOf(info->sample_spec.format);
    d.isDefault = !listing.defaultName.empty() && d.uid == listing.defaultName;
    listing.devices.push_back(std::move(d));
}

}  // namespace

PulseAudioSystem::PulseAudioSystem() : client_(std::make_unique<PulseClient>("Lumetta devices")) {}

PulseAudioSystem::~PulseAudioSystem() {
    client_.reset();
}

void PulseAudioSystem::setDevicesChangedHandler(std::function<void()> handler) {
    handler_ = std::move(handler);
    client_->setSubscription(
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                            PA_SUBSCRIPTION_MASK_SOURCE),
        [this](pa_subscription_event_type_t type) {
            auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
            auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
            if ((facility == PA_SUBSCRIPTION_EVENT_SINK ||
                 facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
                (kind == PA_SUBSCRIPTION_EVENT_NEW || kind == PA_SUBSCRIPTION_EVENT_REMOVE) &&
                handler_)
                handler_();
        });
    PulseLock lock(client_->loop());
    client_->context();
}

std::vector<AudioDeviceInfo> PulseAudioSystem::devices(AudioDirection direction) {
    PulseLock lock(client_->loop());
    pa_context* c = client_->context();
    if (!c) return {};
    Listing listing{client_.get(), {}, {}, false};
    struct Defaults {
        PulseClient* client;
        std::string sink, source;
    } defaults{client_.get(), {}, {}};
    // A failed default query leaves no device marked as the default.
    client_->complete(pa_context_get_server_info(
        c,
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* d = static_cast<Defaults*>(data);
            if (info) {
                d->sink = info->default_sink_name ? info->default_sink_name : "";
                d->source = info->default_source_name ? info->default_source_name : "";
            }
            d->client->signal();
        },
        &defaults));
    listing.defaultName = direction == AudioDirection::output ? defaults.sink : defaults.source;
    pa_operation* op = direction == AudioDirection::output
                           ? pa_context_get_sink_info_list(
                                 c,
                                 [](pa_context*, const pa_sink_info* i, int eol, void* data) {
                                     addDevice(*static_cast<Listing*>(data), i, eol);
                                 },
                                 &listing)
                           : pa_context_get_source_info_list(
                                 c,
                                 [](pa_context*, const pa_source_info* i, int eol, void* data) {
                                     addDevice(*static_cast<Listing*>(data), i, eol);
                                 },
                                 &listing);
    if (!client_->complete(op) || !listing.done) return {};
    return std::move(listing.devices);
}

}  // namespace lumetta::audio::pulse
