// SPDX-License-Identifier: MIT
// chimely-demo-peers: everything the demo needs besides the program itself, on 127.0.0.1. It starts a
// throwaway Kamailio with two users (alice, whom the program signs in as, and echo), writes the
// program's settings for alice into the file it is given, and runs the echo peer as the other user
// until it gets SIGINT or SIGTERM; then it signs the peer out and stops Kamailio by its process id.
//
//   chimely-demo-peers SETTINGS_FILE
//
// Its output says what happens, one line each; "ready" once the program can be started.
#include "EchoPeer.h"

#include "support/Kamailio.h"
#include "support/Sipp.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

const test::SipUser kAlice{"alice", "demo.test", "alice-demo"};
const test::SipUser kEcho{"echo", "demo.test", "echo-demo"};

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = write(g_signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SETTINGS_FILE\n", argv[0]);
        return 2;
    }
    QCoreApplication application(argc, argv);
    if (pipe(g_signalPipe) != 0)
        return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    auto say = [](const std::string& line) { std::cout << "demo: " << line << std::endl; };

    test::Kamailio kamailio({kAlice, kEcho});
    try {
        kamailio.start();
    } catch (const std::exception& problem) {
        std::cerr << "demo: Kamailio did not start: " << problem.what() << std::endl;
        return 1;
    }
    say("Kamailio is the registrar on 127.0.0.1:" + std::to_string(kamailio.port()) + " (users " +
        kAlice.aor() + " and " + kEcho.aor() + ", digest authentication)");

    const std::filesystem::path settings = argv[1];
    std::filesystem::create_directories(settings.parent_path());
    std::ofstream(settings) << "[Settings]\nProtocol=0\nOutboundProxy=1\nDisplayName=Alice\nSigninName="
                            << kAlice.aor() << "\nPassword=" << kAlice.password
                            << "\nServer=127.0.0.1:" << kamailio.port() << "\nLocalPort=" << test::freePort()
                            << "\nTo=1\nTo0=echo\n";
    say("the program's settings for " + kAlice.aor() + " are in " + settings.string());

    demo::EchoPeer peer({.aor = kEcho.aor(),
                         .password = kEcho.password,
                         .outboundProxy = kamailio.uri(false),
                         .watch = kAlice.aor()});
    peer.log = [&](const std::string& line) { say("echo peer: " + line); };
    if (!peer.start())
        return 1;

    QSocketNotifier stopRequests(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopRequests, &QSocketNotifier::activated, [&] {
        stopRequests.setEnabled(false);
        say("stopping");
        peer.stop([] { QCoreApplication::quit(); }, std::chrono::seconds(2));
    });
    // Ready once the peer has signed in: the program's texts to echo then find it.
    QTimer ready;
    ready.setInterval(50);
    QObject::connect(&ready, &QTimer::timeout, [&] {
        if (peer.registered()) {
            ready.stop();
            say("ready");
        }
    });
    ready.start();
    application.exec();
    kamailio.stop();
    say("Kamailio stopped");
    return 0;
}
