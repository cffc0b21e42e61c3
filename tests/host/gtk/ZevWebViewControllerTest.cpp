// The secondary panel in a real window: placement, show and hide, messages both ways and the
// result codes of real loads. Every address is a 127.0.0.1 literal.

#include <gtest/gtest.h>

#include <iterator>
#include <mutex>
#include <thread>

#include "bridge/BridgeText.h"
#include "bridge/NativeCall.h"
#include "host/gtk/ZevWebViewController.h"
#include "modules/zev/ZevModule.h"
#include "support/HostTestSupport.h"
#include "support/LoopbackHttpServer.h"

using namespace lumetta;
using namespace lumetta::bridge;
using namespace std::chrono_literals;
using test::LoopbackHttpServer;

namespace {

constexpr const char* kPanelPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>panel</title><script>
function onSendMsgToZEV(text) { window.webkit.messageHandlers.sendMsgToZOM.postMessage('echo:' + text); }
</script></head><body>panel</body></html>)";

class ZevWebViewControllerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::initDisplayOnce(); }

    void SetUp() override {
        window_ = GTK_WINDOW(gtk_window_new());
        gtk_window_set_default_size(window_, 800, 600);
        overlay_ = gtk_overlay_new();
        mainView_ = WEBKIT_WEB_VIEW(webkit_web_view_new());
        gtk_overlay_set_child(GTK_OVERLAY(overlay_), GTK_WIDGET(mainView_));
        gtk_window_set_child(window_, overlay_);
        gtk_window_present(window_);
        events_ =
            host_.center.observe(note::postEvent, [this](const std::string& event, NativeCall* to) {
                std::lock_guard guard(lock_);
                EXPECT_EQ(to, nullptr) << "panel events reach every page";
                events_seen_.push_back(event);
            });
        zev_ = std::make_unique<host::ZevWebViewController>(host_.services, GTK_OVERLAY(overlay_),
                                                            mainView_);
        ASSERT_TRUE(
            test::runUntil([&] { return gtk_widget_get_height(GTK_WIDGET(mainView_)) > 0; }));
    }

    void TearDown() override {
        zev_.reset();
        events_.reset();
        gtk_window_destroy(window_);
        test::runFor(50ms);
    }

    std::vector<std::string> events() {
        std::lock_guard guard(lock_);
        return events_seen_;
    }

    /// Waits for the next zev event after those already seen; "" after the time-out.
    std::string nextEvent(size_t seen, std::chrono::milliseconds timeout = 15s) {
        if (!test::runUntil([&] { return events().size() > seen; }, timeout)) return "";
        return events()[seen];
    }

    graphene_rect_t panelBounds() {
        graphene_rect_t bounds = GRAPHENE_RECT_INIT(-1.f, -1.f, -1.f, -1.f);
        if (!gtk_widget_compute_bounds(GTK_WIDGET(zev_->webViewZEV()), overlay_, &bounds))
            bounds = GRAPHENE_RECT_INIT(-1.f, -1.f, -1.f, -1.f);
        return bounds;
    }

    bool panelVisible() { return gtk_widget_get_visible(GTK_WIDGET(zev_->webViewZEV())); }

    test::WindowServices host_;
    GtkWindow* window_ = nullptr;
    GtkWidget* overlay_ = nullptr;
    WebKitWebView* mainView_ = nullptr;
    std::unique_ptr<host::ZevWebViewController> zev_;
    std::mutex lock_;
    std::vector<std::string> events_seen_;
    NotificationCenter::Token events_;
};

// What a main page does before $$zev_sendMsgToZEV: escapes backslashes, quotes and line
// breaks (including the two that end a script line) for a single-quoted script literal.
std::string escapedForPanel(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' || c == '\'' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (text.compare(i, 3, "\u2028") == 0 || text.compare(i, 3, "\u2029") == 0) {
            out += text.compare(i, 3, "\u2028") == 0 ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string notifyEvent(int code) {
    return joinEvent({"zev", "onZevWebViewNotify", std::to_string(code)});
}

TEST_F(ZevWebViewControllerTest, StartsHiddenWithAZeroFrameAndNoPage) {
    EXPECT_FALSE(panelVisible());
    EXPECT_EQ(zev_->frame(), host::ZevRect{});
    EXPECT_EQ(gtk_widget_get_parent(GTK_WIDGET(zev_->webViewZEV())), overlay_);
    EXPECT_EQ(webkit_web_view_get_uri(zev_->webViewZEV()), nullptr);
    EXPECT_NE(webkit_web_view_get_user_content_manager(zev_->webViewZEV()),
              webkit_web_view_get_user_content_manager(mainView_))
        << "a configuration of its own";
}

TEST_F(ZevWebViewControllerTest, ShowWithoutGeometryGivesAnEmptyPanelAndHideHidesIt) {
    host_.center.post(modules::zev::note::show, Arg());
    ASSERT_TRUE(test::runUntil([&] { return panelVisible(); }));
    // Laid out: the bounds are known (they are -1 until then).
    ASSERT_TRUE(test::runUntil([&] { return panelBounds().size.width >= 0.f; }));
    graphene_rect_t bounds = panelBounds();
    EXPECT_EQ(bounds.size.width, 0.f);
    EXPECT_EQ(bounds.size.height, 0.f);
    host_.center.post(modules::zev::note::hide, Arg());
    ASSERT_TRUE(test::runUntil([&] { return !panelVisible(); }));
}

TEST_F(ZevWebViewControllerTest, GeometryPlacesThePanelFromTheTopLeftOfTheContentArea) {
    // Posted from another thread, as a call over the loopback server would.
    std::thread([&] {
        host_.center.post(modules::zev::note::positionConfig,
                          Arg(R"({"x":10,"y":20.9,"width":"300","height":200})"));
        host_.center.post(modules::zev::note::show, Arg());
    }).join();
    ASSERT_TRUE(test::runUntil([&] {
        graphene_rect_t b = panelBounds();
        return b.origin.x == 10.f && b.origin.y == 20.f && b.size.width == 300.f &&
               b.size.height == 200.f;
    })) << "panel at "
        << panelBounds().origin.x << "," << panelBounds().origin.y << " size "
        << panelBounds().size.width << "x" << panelBounds().size.height;
    EXPECT_EQ(zev_->frame(), (host::ZevRect{10, 20, 300, 200}))
        << "nothing of the main view is hidden here";

    // Negative sizes are no sizes.
    host_.center.post(modules::zev::note::positionConfig,
                      Arg(R"({"x":5,"y":6,"width":-40,"height":-1})"));
    ASSERT_TRUE(test::runUntil([&] { return panelBounds().origin.x == 5.f; }));
    EXPECT_EQ(panelBounds().size.width, 0.f);
    EXPECT_EQ(panelBounds().size.height, 0.f);
}

TEST_F(ZevWebViewControllerTest, BridgeCallsFromAnyThreadReachThePanel) {
    NativeCall native(host_.services, {modules::zev::descriptor()});
    std::thread([&] {
        EXPECT_EQ(native.call("$$zev_show", std::nullopt, std::nullopt), "v");
    }).join();
    EXPECT_FALSE(panelVisible()) << "the work waits for the main thread";
    ASSERT_TRUE(test::runUntil([&] { return panelVisible(); }));
    EXPECT_EQ(native.call("$$zev_hide", std::nullopt, std::nullopt), "v");
    ASSERT_TRUE(test::runUntil([&] { return !panelVisible(); }));
}

TEST_F(ZevWebViewControllerTest, MessagesTravelBothWaysExactly) {
    LoopbackHttpServer server(LoopbackHttpServer::Mode::Serve, kPanelPage);
    host_.center.post(modules::zev::note::openPage, Arg(server.url()));
    ASSERT_EQ(nextEvent(0), notifyEvent(0));
    EXPECT_FALSE(panelVisible()) << "loading does not show the panel";

    // The main page escapes the message for the script literal itself; the host inserts it
    // unchanged, so the panel receives exactly the page's text.
    const std::string text = "it's \"quoted\" \\ back\nnext line\r\x0b\u2028 done</script>";
    host_.center.post(modules::zev::note::sendMsg, Arg(escapedForPanel(text)));
    EXPECT_EQ(nextEvent(1), joinEvent({"zev", "onSendMsgToZOM", "echo:" + text}));

    host_.center.post(modules::zev::note::sendMsg, Arg("hello"));
    EXPECT_EQ(nextEvent(2), joinEvent({"zev", "onSendMsgToZOM", "echo:hello"}));

    const char* objectMessage =
        "window.webkit.messageHandlers.sendMsgToZOM.postMessage({a: 1, b: 'x'});";
    webkit_web_view_evaluate_javascript(zev_->webViewZEV(), objectMessage, -1, nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
    EXPECT_EQ(nextEvent(3), joinEvent({"zev", "onSendMsgToZOM", R"({"a":1,"b":"x"})"}))
        << "other bodies arrive as their JSON text";

    // Unchanged means unchanged: the message is script text inside the quotes.
    host_.center.post(modules::zev::note::sendMsg, Arg("1' + '2"));
    EXPECT_EQ(nextEvent(4), joinEvent({"zev", "onSendMsgToZOM", "echo:12"}));
}

// Each kind of load, one after the other in the same panel, from another thread as a call
// over the loopback server would come.
TEST_F(ZevWebViewControllerTest, EachLoadNotifiesItsResultCodeOnce) {
    LoopbackHttpServer page(LoopbackHttpServer::Mode::Serve, kPanelPage);
    LoopbackHttpServer silent(LoopbackHttpServer::Mode::Silent);
    zev_->setNavigationTimeout(1500ms);
    struct Step {
        const char* what;
        Arg url;
        int code;
    };
    const Step steps[] = {
        {"a successful load", page.url(), 0},
        {"a refused connection",
         "http://127.0.0.1:" + std::to_string(test::closedLoopbackPort()) + "/", 258},
        {"a server that never answers", silent.url(), 257},
        {"a URL that does not parse", "not a url", 256},
        {"no URL at all", Arg(), 256},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        std::thread([&] { host_.center.post(modules::zev::note::openPage, steps[i].url); }).join();
        EXPECT_EQ(nextEvent(i, 10s), notifyEvent(steps[i].code)) << steps[i].what;
        test::runFor(200ms);
        EXPECT_EQ(events().size(), i + 1)
            << steps[i].what << ": one event per navigation, a failure not also as finished";
    }
}

TEST(ZevNavigationCode, NetworkErrorsMapOntoThePanelCodes) {
    auto code = [](GQuark domain, int value) {
        GError* error = g_error_new_literal(domain, value, "x");
        int result = host::zevNavigationCode(error);
        g_error_free(error);
        return result;
    };
    EXPECT_EQ(code(G_IO_ERROR, G_IO_ERROR_TIMED_OUT), 257);
    for (int value :
         {G_IO_ERROR_HOST_NOT_FOUND, G_IO_ERROR_CONNECTION_REFUSED, G_IO_ERROR_HOST_UNREACHABLE,
          G_IO_ERROR_NETWORK_UNREACHABLE, G_IO_ERROR_CONNECTION_CLOSED, G_IO_ERROR_NOT_CONNECTED})
        EXPECT_EQ(code(G_IO_ERROR, value), 258) << "GIO error " << value;
    EXPECT_EQ(code(G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND), 258);
    EXPECT_EQ(code(G_RESOLVER_ERROR, G_RESOLVER_ERROR_TEMPORARY_FAILURE), 258);
    EXPECT_EQ(code(G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED), 256);
    EXPECT_EQ(code(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL), 256);
    EXPECT_EQ(code(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED), 256);
    EXPECT_EQ(code(WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_USE_RESTRICTED_PORT), 256);
    EXPECT_EQ(host::zevNavigationCode(nullptr), 256);
}

}  // namespace
