// The settings file's typed sections: the rule of each key, one table.
#include <gtest/gtest.h>

#include "settingsfile.h"

namespace {

struct Case {
    const char* text;  // the file
    int listenPort;
    int comPort;
    bool cp290;
    std::optional<int> webPort;
    bool webEnabled;
    const char* webAddress;
    const char* webCertificate;
};

TEST(SettingsFile, EachKeyReadsByItsRule) {
    for (const Case& c : std::initializer_list<Case>{
             // Missing keys (and a missing file) take their defaults.
             {"", 7410, 1, false, std::nullopt, false, "127.0.0.1", ""},
             // Ports: the leading number rounded half to even, 0 to 65535.
             {"[Startup]\nListenPort=7411.0\nComPort=2.5\n[Web]\nPort=8081.0\n", 7411, 2, false,
              8081, false, "127.0.0.1", ""},
             {"[Startup]\nListenPort=0\n[Web]\nPort=0\n", 0, 1, false, 0, false, "127.0.0.1", ""},
             {"[Startup]\nListenPort=70000\n[Web]\nPort=-1\n", 7410, 1, false, std::nullopt, false,
              "127.0.0.1", ""},
             {"[Startup]\nListenPort=abc\n[Web]\nPort=port\n", 7410, 1, false, std::nullopt, false,
              "127.0.0.1", ""},
             // Booleans: True/False in any case or a number.
             {"[Startup]\nInterface=tRUE\n[Web]\nEnabled=2\n", 7410, 1, true, std::nullopt, true,
              "127.0.0.1", ""},
             {"[startup]\nInterface=1x\n[web]\nEnabled=yes\n", 7410, 1, false, std::nullopt, false,
              "127.0.0.1", ""},
             // The page's empty address and TLS files fall back; blanks go.
             {"[Startup]\nTLSCertificate= s.pem \n[Web]\nListenAddress=\nTLSCertificate=\n", 7410,
              1, false, std::nullopt, false, "127.0.0.1", "s.pem"},
             {"[Startup]\nTLSCertificate=s.pem\n[Web]\nListenAddress= ::1 \nTLSCertificate=w.pem\n",
              7410, 1, false, std::nullopt, false, "::1", "w.pem"},
         }) {
        const settings::File file{QByteArray(c.text)};
        const settings::Startup s = file.startup();
        const settings::Web w = file.web();
        EXPECT_EQ(s.listenPort, c.listenPort) << c.text;
        EXPECT_EQ(s.comPort, c.comPort) << c.text;
        EXPECT_EQ(s.cp290, c.cp290) << c.text;
        EXPECT_EQ(w.port, c.webPort) << c.text;
        EXPECT_EQ(w.enabled, c.webEnabled) << c.text;
        EXPECT_EQ(w.listenAddress, c.webAddress) << c.text;
        EXPECT_EQ(w.tlsCertificate, c.webCertificate) << c.text;
    }
    const settings::File ports{QByteArray("[Ports]\nCOM3=/dev/ttyUSB0\n")};
    EXPECT_EQ(ports.portDevice(3), "/dev/ttyUSB0");
    EXPECT_EQ(ports.portDevice(2), "/dev/ttyS1");
}

}  // namespace
