// The owners of C handles: each releases its handle exactly once, hands it over on a move
// (the moved-from owner releases nothing), releases the old handle on reset and forgets it on
// release. Leaks and double frees of memory and errors are caught by the sanitizer build.

#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

#include "base/raii/DBusSubscription.h"
#include "base/raii/GCharPtr.h"
#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"
#include "base/raii/GSourceId.h"
#include "base/raii/SignalScope.h"
#include "base/raii/UniqueFd.h"

namespace lumetta::raii {
namespace {

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A pipe whose write end goes to the owner under test; the read end tells when it was closed.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
    }
    // True once every write end is closed: the reader sees the end of the stream.
    bool writerClosed() const {
        fcntl(read, F_SETFL, O_NONBLOCK);
        char c;
        return ::read(read, &c, 1) == 0;
    }
};

TEST(UniqueFd, ClosesItsDescriptorWhenDestroyed) {
    Pipe p;
    ASSERT_GE(p.write, 0);
    { UniqueFd owner(p.write); }
    EXPECT_FALSE(isOpen(p.write));
    EXPECT_TRUE(p.writerClosed());
}

TEST(UniqueFd, MoveHandsOverAndTheMovedFromClosesNothing) {
    Pipe p;
    UniqueFd target;
    {
        UniqueFd source(p.write);
        target = std::move(source);
        EXPECT_FALSE(source);
    }
    EXPECT_TRUE(isOpen(p.write)) << "the moved-from owner closed the descriptor";
    EXPECT_EQ(target.get(), p.write);
    UniqueFd constructed(std::move(target));
    EXPECT_TRUE(isOpen(p.write));
    constructed.reset();
    EXPECT_TRUE(p.writerClosed());
}

TEST(UniqueFd, MoveAssignmentClosesWhatTheTargetHeld) {
    Pipe first, second;
    UniqueFd target(first.write);
    target = UniqueFd(second.write);
    EXPECT_TRUE(first.writerClosed());
    EXPECT_TRUE(isOpen(second.write));
}

TEST(UniqueFd, ResetClosesTheOldDescriptorAndKeepsTheNew) {
    Pipe first, second;
    UniqueFd owner(first.write);
    owner.reset(second.write);
    EXPECT_TRUE(first.writerClosed());
    EXPECT_TRUE(isOpen(second.write));
    EXPECT_EQ(owner.get(), second.write);
}

TEST(UniqueFd, ReleaseGivesUpOwnershipWithoutClosing) {
    Pipe p;
    int released = -1;
    {
        UniqueFd owner(p.write);
        released = owner.release();
        EXPECT_FALSE(owner);
    }
    EXPECT_EQ(released, p.write);
    EXPECT_TRUE(isOpen(released));
    ::close(released);
}

TEST(UniqueFd, CloseReportsTheResultOnceAndLeavesNothingToCloseAgain) {
    Pipe p;
    UniqueFd owner(p.write);
    EXPECT_EQ(owner.close(), 0);
    EXPECT_TRUE(p.writerClosed());
    // A descriptor opened now may reuse the number: the owner must not close it again.
    int reused = ::dup(p.read);
    owner.reset();
    EXPECT_EQ(owner.close(), 0);
    EXPECT_TRUE(isOpen(reused));
    ::close(reused);
}

// ---- GObjectPtr -------------------------------------------------------------------------------

// Watches an object: the pointer turns null when its last reference goes.
struct Watched {
    GObject* object = nullptr;
    explicit Watched(gpointer created) : object(G_OBJECT(created)) {
        g_object_add_weak_pointer(object, reinterpret_cast<gpointer*>(&object));
    }
    ~Watched() {
        if (object) g_object_remove_weak_pointer(object, reinterpret_cast<gpointer*>(&object));
    }
    bool alive() const { return object != nullptr; }
};

TEST(GObjectPtr, DropsTheLastReferenceWhenDestroyed) {
    Watched watched(g_object_new(G_TYPE_OBJECT, nullptr));
    { auto owner = adopt(watched.object); }
    EXPECT_FALSE(watched.alive());
}

TEST(GObjectPtr, MoveHandsOverAndTheMovedFromDropsNothing) {
    Watched watched(g_object_new(G_TYPE_OBJECT, nullptr));
    GObjectPtr<GObject> target;
    {
        auto source = adopt(watched.object);
        target = std::move(source);
    }
    EXPECT_TRUE(watched.alive()) << "the moved-from owner dropped the reference";
    target.reset();
    EXPECT_FALSE(watched.alive());
}

TEST(GObjectPtr, ResetDropsTheOldObject) {
    Watched first(g_object_new(G_TYPE_OBJECT, nullptr));
    Watched second(g_object_new(G_TYPE_OBJECT, nullptr));
    auto owner = adopt(first.object);
    owner.reset(second.object);
    EXPECT_FALSE(first.alive());
    EXPECT_TRUE(second.alive());
}

TEST(GObjectPtr, ReleaseGivesUpTheReference) {
    Watched watched(g_object_new(G_TYPE_OBJECT, nullptr));
    GObject* released = nullptr;
    {
        auto owner = adopt(watched.object);
        released = owner.release();
    }
    EXPECT_TRUE(watched.alive());
    g_object_unref(released);
    EXPECT_FALSE(watched.alive());
}

TEST(GObjectPtr, RetainSinksAFloatingReferenceSoTheOwnerHoldsTheOnlyOne) {
    Watched watched(g_object_new(G_TYPE_INITIALLY_UNOWNED, nullptr));
    {
        auto owner = retain(watched.object);
        EXPECT_FALSE(g_object_is_floating(owner.get()));
    }
    EXPECT_FALSE(watched.alive());
}

TEST(GObjectPtr, RetainAddsAReferenceToAnObjectOwnedElsewhere) {
    Watched watched(g_object_new(G_TYPE_OBJECT, nullptr));
    { auto owner = retain(watched.object); }
    ASSERT_TRUE(watched.alive()) << "retain dropped the caller's own reference";
    g_object_unref(watched.object);
    EXPECT_FALSE(watched.alive());
}

// ---- GCharPtr, GErrorPtr ----------------------------------------------------------------------

TEST(GCharPtr, MoveHandsOverTheStringAndReleaseGivesItUp) {
    GCharPtr source(g_strdup("text"));
    gchar* raw = source.get();
    GCharPtr target(std::move(source));
    EXPECT_EQ(source.get(), nullptr);
    EXPECT_EQ(target.get(), raw);
    gchar* released = target.release();
    EXPECT_STREQ(released, "text");
    g_free(released);
    target.reset(g_strdup("other"));  // freed by the owner; the sanitizer build sees a leak
}

TEST(GErrorPtr, MoveHandsOverTheErrorAndResetFreesIt) {
    GErrorPtr source(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, "failed"));
    GErrorPtr target(std::move(source));
    EXPECT_EQ(source.get(), nullptr);
    ASSERT_NE(target.get(), nullptr);
    EXPECT_STREQ(target->message, "failed");
    target.reset(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, "again"));
    EXPECT_STREQ(target->message, "again");
}

// ---- GSourceId --------------------------------------------------------------------------------

struct Calls {
    int ran = 0;
    int destroyed = 0;
};

guint addIdle(Calls& calls) {
    return g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            ++static_cast<Calls*>(data)->ran;
            return G_SOURCE_CONTINUE;
        },
        &calls, [](gpointer data) { ++static_cast<Calls*>(data)->destroyed; });
}

// Runs what is ready on the default context a few times.
void iterate() {
    for (int i = 0; i < 5; ++i) g_main_context_iteration(nullptr, FALSE);
}

// Counts GLib's criticals and warnings: removing a source id twice is reported as one.
class GSourceIdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handler_ = g_log_set_handler(
            "GLib", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
            [](const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
                ++*static_cast<int*>(data);
                ADD_FAILURE() << message;
            },
            &complaints_);
    }
    void TearDown() override {
        g_log_remove_handler("GLib", handler_);
        iterate();
    }
    int complaints_ = 0;
    guint handler_ = 0;
};

TEST_F(GSourceIdTest, RemovesTheSourceSoItsCallbackNeverRunsAfterTheOwnerDies) {
    Calls calls;
    { GSourceId owner(addIdle(calls)); }
    iterate();
    EXPECT_EQ(calls.ran, 0);
    EXPECT_EQ(calls.destroyed, 1);
    EXPECT_EQ(complaints_, 0);
}

TEST_F(GSourceIdTest, TheSourceRunsWhileItsOwnerLives) {
    Calls calls;
    GSourceId owner(addIdle(calls));
    iterate();
    EXPECT_GT(calls.ran, 0);
    owner.reset();
    EXPECT_EQ(calls.destroyed, 1);
}

TEST_F(GSourceIdTest, MoveHandsOverAndTheMovedFromRemovesNothing) {
    Calls calls;
    GSourceId target;
    {
        GSourceId source(addIdle(calls));
        target = std::move(source);
        EXPECT_FALSE(source);
    }
    EXPECT_EQ(calls.destroyed, 0) << "the moved-from owner removed the source";
    target.reset();
    EXPECT_EQ(calls.destroyed, 1);
    EXPECT_EQ(complaints_, 0);
}

TEST_F(GSourceIdTest, ResetRemovesTheOldSourceAndKeepsTheNew) {
    Calls first, second;
    GSourceId owner(addIdle(first));
    owner.reset(addIdle(second));
    iterate();
    EXPECT_EQ(first.ran, 0);
    EXPECT_EQ(first.destroyed, 1);
    EXPECT_GT(second.ran, 0);
    owner.reset();
    EXPECT_EQ(second.destroyed, 1);
}

TEST_F(GSourceIdTest, ReleasedSourceOutlivesItsOwner) {
    Calls calls;
    guint id = 0;
    {
        GSourceId owner(addIdle(calls));
        id = owner.release();
    }
    iterate();
    EXPECT_GT(calls.ran, 0);
    EXPECT_EQ(calls.destroyed, 0);
    g_source_remove(id);
    EXPECT_EQ(calls.destroyed, 1);
}

TEST_F(GSourceIdTest, ACallbackThatEndsItsSourceReleasesItsOwnerSoNothingIsRemovedTwice) {
    struct Once {
        GSourceId id;
        int ran = 0;
    } once;
    once.id = GSourceId(g_idle_add(
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Once*>(data);
            ++self->ran;
            self->id.release();
            return G_SOURCE_REMOVE;
        },
        &once));
    iterate();
    EXPECT_EQ(once.ran, 1);
    once.id.reset();
    EXPECT_EQ(complaints_, 0);
}

// ---- SignalScope ------------------------------------------------------------------------------

TEST(SignalScope, DisconnectsTheOwnersHandlersWhenDestroyed) {
    auto object = adopt(G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr)));
    int notified = 0;
    auto handler = +[](GObject*, GParamSpec*, gpointer data) { ++*static_cast<int*>(data); };
    {
        SignalScope scope(object.get(), &notified);
        g_signal_connect(object.get(), "notify", G_CALLBACK(handler), &notified);
        g_signal_emit_by_name(object.get(), "notify", nullptr);
        EXPECT_EQ(notified, 1);
    }
    g_signal_emit_by_name(object.get(), "notify", nullptr);
    EXPECT_EQ(notified, 1) << "a handler outlived its scope";
}

// ---- DBusSubscription (starts a private bus of its own) ---------------------------------------

constexpr const char* kPath = "/com/velmar/lumetta/Test";
constexpr const char* kInterface = "com.velmar.lumetta.Test";

// A private session bus with a sender and a receiver connection.
class DBusSubscriptionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
        g_test_dbus_up(bus_);
        const gchar* address = g_test_dbus_get_bus_address(bus_);
        ASSERT_NE(address, nullptr) << "the private bus did not start (dbus-daemon missing?)";
        sender_ = connect(address);
        receiver_ = connect(address);
        ASSERT_TRUE(sender_ && receiver_);
    }
    void TearDown() override {
        receiver_.reset();
        sender_.reset();
        g_test_dbus_down(bus_);
        g_object_unref(bus_);
    }

    static GObjectPtr<GDBusConnection> connect(const gchar* address) {
        GError* raw = nullptr;
        GObjectPtr<GDBusConnection> connection(g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &raw));
        GErrorPtr error(raw);
        if (error) ADD_FAILURE() << error->message;
        return connection;
    }

    // Subscribes to `member` from anyone on the receiver; counts into `count`. The bus has the
    // match rule before this returns, so a signal sent next is routed to it.
    guint subscribe(const char* member, int& count) {
        guint id = g_dbus_connection_signal_subscribe(
            receiver_.get(), nullptr, kInterface, member, kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
               gpointer data) { ++*static_cast<int*>(data); },
            &count, nullptr);
        roundTrip();
        return id;
    }

    // The bus answers the receiver's messages in order: after this reply, earlier ones are done.
    void roundTrip() {
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            receiver_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 10000,
            nullptr, &raw);
        GErrorPtr error(raw);
        if (reply) g_variant_unref(reply);
        if (error) ADD_FAILURE() << error->message;
    }

    void emit(const char* member) {
        g_dbus_connection_emit_signal(sender_.get(), nullptr, kPath, kInterface, member, nullptr,
                                      nullptr);
        g_dbus_connection_flush_sync(sender_.get(), nullptr, nullptr);
    }

    // Runs the default context until `done` or the hang guard.
    template <class Done>
    static bool runUntil(Done done) {
        auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < guard)
            g_main_context_iteration(nullptr, FALSE);
        return done();
    }

    // Signals arrive in order on one connection: once the marker is in, anything the
    // subscription under test would have received has been dispatched too.
    void emitAndWaitForMarker(const char* member, int& markers) {
        int before = markers;
        emit(member);
        emit("Marker");
        ASSERT_TRUE(runUntil([&] { return markers > before; })) << "the marker never arrived";
    }

    GTestDBus* bus_ = nullptr;
    GObjectPtr<GDBusConnection> sender_;
    GObjectPtr<GDBusConnection> receiver_;
};

TEST_F(DBusSubscriptionTest, NoSignalArrivesOnceTheOwnerIsGone) {
    int markers = 0, pings = 0;
    DBusSubscription marker(receiver_.get(), subscribe("Marker", markers));
    {
        DBusSubscription owner(receiver_.get(), subscribe("Ping", pings));
        emitAndWaitForMarker("Ping", markers);
        EXPECT_EQ(pings, 1);
    }
    emitAndWaitForMarker("Ping", markers);
    EXPECT_EQ(pings, 1) << "the subscription outlived its owner";
}

TEST_F(DBusSubscriptionTest, MoveHandsOverAndTheMovedFromUnsubscribesNothing) {
    int markers = 0, pings = 0;
    DBusSubscription marker(receiver_.get(), subscribe("Marker", markers));
    DBusSubscription target;
    {
        DBusSubscription source(receiver_.get(), subscribe("Ping", pings));
        target = std::move(source);
        EXPECT_FALSE(source);
    }
    emitAndWaitForMarker("Ping", markers);
    EXPECT_EQ(pings, 1) << "the moved-from owner unsubscribed";
    target.reset();
    emitAndWaitForMarker("Ping", markers);
    EXPECT_EQ(pings, 1);
}

TEST_F(DBusSubscriptionTest, ResetUnsubscribesTheOldAndKeepsTheNew) {
    int markers = 0, first = 0, second = 0;
    DBusSubscription marker(receiver_.get(), subscribe("Marker", markers));
    DBusSubscription owner(receiver_.get(), subscribe("First", first));
    owner.reset(receiver_.get(), subscribe("Second", second));
    emitAndWaitForMarker("First", markers);
    emitAndWaitForMarker("Second", markers);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST_F(DBusSubscriptionTest, ReleaseLeavesTheSubscriptionInPlace) {
    int markers = 0, pings = 0;
    DBusSubscription marker(receiver_.get(), subscribe("Marker", markers));
    guint id = 0;
    {
        DBusSubscription owner(receiver_.get(), subscribe("Ping", pings));
        id = owner.release();
        EXPECT_EQ(owner.connection(), nullptr);
    }
    emitAndWaitForMarker("Ping", markers);
    EXPECT_EQ(pings, 1);
    g_dbus_connection_signal_unsubscribe(receiver_.get(), id);
}

TEST_F(DBusSubscriptionTest, KeepsItsConnectionAliveUntilItUnsubscribes) {
    int pings = 0;
    Watched watched(receiver_.get());
    DBusSubscription owner(receiver_.get(), subscribe("Ping", pings));
    receiver_.reset();  // the owner's own reference keeps the connection
    ASSERT_TRUE(watched.alive());
    EXPECT_NE(owner.connection(), nullptr);
    owner.reset();
    // GDBus may drop its own last references from its worker thread, a little later.
    EXPECT_TRUE(runUntil([&] { return !watched.alive(); }))
        << "the owner kept its connection reference after reset";
}

}  // namespace
}  // namespace lumetta::raii
