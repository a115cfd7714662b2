// The captions as an X server holds them: the names a desktop shows in title
// bars and task lists, read by a client of our own from a private Xvfb, for
// the main window, the message boxes and the recovery dialog.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QGuiApplication>  // with its X11 native interface
#include <QPushButton>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>

#include "GuiTestSupport.h"
#include "MainWindow.h"
#include "QtFrontEnd.h"
#include "core/Services.h"

namespace {

namespace fs = std::filesystem;

// Xvfb on a display it picks itself, open only to holders of a cookie of
// ours, ending with this process.
class PrivateXServer {
  public:
    ~PrivateXServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // Sets DISPLAY and XAUTHORITY for it; otherwise says why not.
    bool start(std::string* why) {
        char pattern[] = "/tmp/quorta-x11-XXXXXX";
        if (!::mkdtemp(pattern)) return fail(why, "cannot make a folder for its cookie");
        dir_ = pattern;
        const std::string auth = (dir_ / "Xauthority").string();
        const std::string log = (dir_ / "Xvfb.log").string();
        if (!writeCookie(auth)) return fail(why, "cannot write its cookie");

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return fail(why, "no pipe for its display number");
        const std::string fd = std::to_string(fds[1]);
        const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-auth", auth.c_str(),  "-nolisten",
                              "tcp",  "-noreset",   "-screen",  "0",     "1024x768x24", nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::fcntl(fds[1], F_SETFD, 0);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
            ::execvp(argv[0], const_cast<char* const*>(argv));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            return fail(why, "cannot fork");
        }
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        while (number.find('\n') == std::string::npos && ::poll(&p, 1, 20000) == 1 &&
               ::read(fds[0], &c, 1) == 1) {
            number += c;
        }
        ::close(fds[0]);
        if (number.find('\n') == std::string::npos) {
            std::ifstream in(log);
            std::stringstream said;
            said << in.rdbuf();
            return fail(why, "Xvfb did not start (is the xvfb package installed?) " + said.str());
        }
        number.pop_back();
        ::setenv("DISPLAY", (":" + number).c_str(), 1);
        ::setenv("XAUTHORITY", auth.c_str(), 1);
        return true;
    }

  private:
    static bool fail(std::string* why, const std::string& text) {
        *why = text;
        return false;
    }
    // One entry that holds for any display: family FamilyWild, no address,
    // no display number.
    static bool writeCookie(const std::string& path) {
        auto field = [](std::string& out, const std::string& bytes) {
            out += static_cast<char>(bytes.size() >> 8);
            out += static_cast<char>(bytes.size() & 0xff);
            out += bytes;
        };
        std::random_device random;
        std::string cookie;
        for (int i = 0; i < 16; ++i) cookie += static_cast<char>(random() & 0xff);
        std::string entry = "\xff\xff";
        field(entry, "");
        field(entry, "");
        field(entry, "MIT-MAGIC-COOKIE-1");
        field(entry, cookie);
        std::ofstream out(path, std::ios::binary);
        out << entry;
        out.close();
        return out && ::chmod(path.c_str(), 0600) == 0;
    }

    pid_t pid_ = -1;
    fs::path dir_;
};

PrivateXServer& server() {
    static PrivateXServer s;
    return s;
}
std::string& noServerReason() {
    static std::string why;
    return why;
}

class X11CaptionsTest : public gui_testing::WindowTest {
  protected:
    // Before the fixture: its message-box script starts the QApplication.
    static void SetUpTestSuite() {
        if (server().start(&noServerReason())) {
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        } else {
            // The test skips; the toolkit still has to start.
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        }
    }
    void SetUp() override {
        if (!noServerReason().empty()) {
            GTEST_SKIP() << "no X server to test against: " << noServerReason();
        }
        WindowTest::SetUp();
        started_ = true;
        ui_qt::setUpApplication();
        x_ = xcb_connect(nullptr, nullptr);
        ASSERT_EQ(xcb_connection_has_error(x_), 0);
    }
    void TearDown() override {
        if (!started_) return;
        xcb_disconnect(x_);
        WindowTest::TearDown();
    }

    // A property of the window as the server holds it, after every request
    // Qt has made so far; none when the window has no such property.
    std::optional<std::string> property(QWidget* w, const char* name) {
        xcb_connection_t* qt =
            qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
        std::free(xcb_get_input_focus_reply(qt, xcb_get_input_focus(qt), nullptr));
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
            xcb_intern_atom_reply(x_, xcb_intern_atom(x_, 0, std::strlen(name), name), nullptr),
            &std::free);
        if (!atom) return std::nullopt;
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(
                x_,
                xcb_get_property(x_, 0, static_cast<xcb_window_t>(w->winId()), atom->atom,
                                 XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 16),
                nullptr),
            &std::free);
        if (!reply || reply->type == XCB_NONE) return std::nullopt;
        return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           static_cast<size_t>(xcb_get_property_value_length(reply.get())));
    }
    // The title a desktop shows: the UTF-8 name, and the ICCCM name that
    // older window managers read (plain text only for an ASCII caption).
    struct XName {
        std::optional<std::string> net, icccm;
    };
    XName nameOf(QWidget* w) { return {property(w, "_NET_WM_NAME"), property(w, "WM_NAME")}; }
    static void expectName(const XName& name, const std::string& caption) {
        EXPECT_EQ(name.net.value_or("(none)"), caption);
        bool ascii = true;
        for (unsigned char c : caption) ascii = ascii && c < 0x80;
        if (ascii) {
            EXPECT_EQ(name.icccm.value_or("(none)"), caption);
        }
    }

    xcb_connection_t* x_ = nullptr;
    bool started_ = false;
};

TEST_F(X11CaptionsTest, EveryCaptionReachesTheServerAsWritten) {
    std::vector<XName> boxNames;
    boxes.onShown = [&](QMessageBox* box) { boxNames.push_back(nameOf(box)); };
    start();
    ASSERT_TRUE(reminderAnswered());
    expectName(nameOf(window.get()), "Quorta GPS Firmware Programmer");
    // The window class is the one the desktop entry's StartupWMClass names.
    std::string wmClass = property(window.get(), "WM_CLASS").value_or("");
    wmClass.erase(0, wmClass.find('\0') + 1);  // instance name, class name, each ended by NUL
    EXPECT_EQ(wmClass, std::string("quorta-updater", sizeof "quorta-updater"));

    window->chooseMenuItem(core::kMenuAbout);

    // The confirmation of an update, whose caption is empty.
    core::workflows().startUpdateWorkerThread = [] {};
    core::DeviceRecord record;
    record.updateLabel = "Update to 14.51";
    record.promptText = "Please do not unplug your device.  This will take a few minutes.";
    core::deviceRecord().store(record);
    core::reportCallbacks().currentDevice = &core::deviceRecord();
    window->setButtonText(record.updateLabel);
    window->showControl(core::Control::UpdateButton, true);
    boxes.answer("", QMessageBox::Cancel);
    window->updateButton()->click();

    ASSERT_EQ(boxes.captions(),
              (std::vector<std::string>{core::kBackupReminderCaption, "About", ""}));
    ASSERT_EQ(boxNames.size(), 3u);
    expectName(boxNames[0], "アップデート\u3000アラート");
    expectName(boxNames[1], "About");
    expectName(boxNames[2], "");

    window->sendMessage(core::WindowMessage::CreateRecoveryModeDlg);
    ASSERT_TRUE(window->recoveryDialog());
    expectName(nameOf(window->recoveryDialog()), "Emergency Recovery Mode");
}

}  // namespace
