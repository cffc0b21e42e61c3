#include "midi/alsa/AlsaSequencer.h"

#include <cerrno>
#include <cstdlib>

namespace lumetta::midi {

namespace {

struct SeqCloser {
    void operator()(snd_seq_t* seq) const { snd_seq_close(seq); }
};
struct ClientInfoFree {
    void operator()(snd_seq_client_info_t* info) const { snd_seq_client_info_free(info); }
};
struct PortInfoFree {
    void operator()(snd_seq_port_info_t* info) const { snd_seq_port_info_free(info); }
};
struct SubscribeFree {
    void operator()(snd_seq_port_subscribe_t* info) const { snd_seq_port_subscribe_free(info); }
};
struct CFree {
    void operator()(char* text) const { std::free(text); }
};
using SeqHandle = std::unique_ptr<snd_seq_t, SeqCloser>;
using ClientInfo = std::unique_ptr<snd_seq_client_info_t, ClientInfoFree>;
using PortInfo = std::unique_ptr<snd_seq_port_info_t, PortInfoFree>;
using SubscribeInfo = std::unique_ptr<snd_seq_port_subscribe_t, SubscribeFree>;

ClientInfo newClientInfo() {
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_malloc(&info);
    return ClientInfo(info);
}

PortInfo newPortInfo() {
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_malloc(&info);
    return PortInfo(info);
}

SequencerClient clientFrom(snd_seq_client_info_t* info) {
    SequencerClient client;
    client.client = snd_seq_client_info_get_client(info);
    client.name = snd_seq_client_info_get_name(info);
    client.kernel = snd_seq_client_info_get_type(info) == SND_SEQ_KERNEL_CLIENT;
    client.card = snd_seq_client_info_get_card(info);
    return client;
}

SequencerPort portFrom(snd_seq_port_info_t* info) {
    SequencerPort port;
    port.client = snd_seq_port_info_get_client(info);
    port.port = snd_seq_port_info_get_port(info);
    port.name = snd_seq_port_info_get_name(info);
    port.capability = snd_seq_port_info_get_capability(info);
    port.type = snd_seq_port_info_get_type(info);
    return port;
}

class AlsaSequencer final : public Sequencer {
  public:
    explicit AlsaSequencer(SeqHandle seq) : seq_(std::move(seq)), id_(snd_seq_client_id(raw())) {}

    int clientId() const override { return id_; }

    int createPort(const std::string& name, unsigned capability, unsigned type) override {
        return snd_seq_create_simple_port(raw(), name.c_str(), capability, type);
    }
    int setInputPool(size_t cells) override { return snd_seq_set_client_pool_input(raw(), cells); }
    int setInputBufferSize(size_t bytes) override {
        return snd_seq_set_input_buffer_size(raw(), bytes);
    }

    int connectFrom(int myPort, int client, int port) override {
        return snd_seq_connect_from(raw(), myPort, client, port);
    }
    int disconnectFrom(int myPort, int client, int port) override {
        return snd_seq_disconnect_from(raw(), myPort, client, port);
    }
    int connectTo(int myPort, int client, int port) override {
        return snd_seq_connect_to(raw(), myPort, client, port);
    }
    int disconnectTo(int myPort, int client, int port) override {
        return snd_seq_disconnect_to(raw(), myPort, client, port);
    }

    bool subscribed(int senderClient, int senderPort, int destClient, int destPort) override {
        snd_seq_port_subscribe_t* allocated = nullptr;
        if (snd_seq_port_subscribe_malloc(&allocated) < 0) return false;
        SubscribeInfo info(allocated);
        snd_seq_addr_t sender{static_cast<unsigned char>(senderClient),
                              static_cast<unsigned char>(senderPort)};
        snd_seq_addr_t dest{static_cast<unsigned char>(destClient),
                            static_cast<unsigned char>(destPort)};
        snd_seq_port_subscribe_set_sender(info.get(), &sender);
        snd_seq_port_subscribe_set_dest(info.get(), &dest);
        return snd_seq_get_port_subscription(raw(), info.get()) == 0;
    }

    std::vector<SequencerClient> clients() override {
        std::vector<SequencerClient> list;
        ClientInfo info = newClientInfo();
        if (!info) return list;
        snd_seq_client_info_set_client(info.get(), -1);
        while (snd_seq_query_next_client(raw(), info.get()) >= 0)
            list.push_back(clientFrom(info.get()));
        return list;
    }

    std::vector<SequencerPort> ports(int client) override {
        std::vector<SequencerPort> list;
        PortInfo info = newPortInfo();
        if (!info) return list;
        snd_seq_port_info_set_client(info.get(), client);
        snd_seq_port_info_set_port(info.get(), -1);
        while (snd_seq_query_next_port(raw(), info.get()) >= 0)
            list.push_back(portFrom(info.get()));
        return list;
    }

    std::optional<SequencerClient> clientInfo(int client) override {
        ClientInfo info = newClientInfo();
        if (!info || snd_seq_get_any_client_info(raw(), client, info.get()) < 0)
            return std::nullopt;
        return clientFrom(info.get());
    }

    std::optional<SequencerPort> portInfo(int client, int port) override {
        PortInfo info = newPortInfo();
        if (!info || snd_seq_get_any_port_info(raw(), client, port, info.get()) < 0)
            return std::nullopt;
        return portFrom(info.get());
    }

    std::string cardLongName(int card) override {
        char* name = nullptr;
        if (card < 0 || snd_card_get_longname(card, &name) < 0 || name == nullptr) return {};
        std::unique_ptr<char, CFree> owned(name);
        return owned.get();
    }

    std::vector<pollfd> pollDescriptors() override {
        const int count = snd_seq_poll_descriptors_count(raw(), POLLIN);
        std::vector<pollfd> fds(static_cast<size_t>(std::max(count, 0)));
        if (!fds.empty())
            snd_seq_poll_descriptors(raw(), fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
        return fds;
    }

    int eventInput(snd_seq_event_t** event) override { return snd_seq_event_input(raw(), event); }
    int eventOutputDirect(snd_seq_event_t* event) override {
        return snd_seq_event_output_direct(raw(), event);
    }

  private:
    snd_seq_t* raw() const { return seq_.get(); }

    SeqHandle seq_;
    const int id_;
};

}  // namespace

Expected<std::unique_ptr<Sequencer>> openAlsaSequencer(const std::string& clientName) {
    snd_seq_t* opened = nullptr;
    const int err = snd_seq_open(&opened, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) return failure(snd_strerror(err));
    SeqHandle seq(opened);
    snd_seq_set_client_name(opened, clientName.c_str());
    return std::make_unique<AlsaSequencer>(std::move(seq));
}

PacingClock::Duration SteadyPacingClock::now() {
    return std::chrono::duration_cast<Duration>(
        std::chrono::steady_clock::now().time_since_epoch());
}

void SteadyPacingClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                                  Duration deadline) {
    wake.wait_until(lock,
                    std::chrono::steady_clock::time_point(
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(deadline)));
}

}  // namespace lumetta::midi
