// The board's words for the sensor and actuator devices: their ioctl names,
// and the coproc subcommands that set and show the simulated devices.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

#include "session.hpp"
#include "shell.hpp"

using namespace board;
using ::testing::HasSubstr;

namespace {

struct SensorBoard {
    Session session;
    std::ostringstream out, err;
    Shell shell;
    explicit SensorBoard(std::vector<std::string> params)
        : session(SessionOptions{.uart = {}, .hz = 1000, .params = std::move(params)}), shell(session.board(), out, err)
    {}
};

TEST(BoardSensors, DhtReadingByName)
{
    SensorBoard r({"dev_dht=1"});
    EXPECT_EQ(r.shell.run_text("coproc dht 23.5 41; open /dev/dht; ioctl 3 DHT_IOCTL_CMD 01 02 03 04; trace", true),
              Outcome::Ok)
        << r.err.str();
    EXPECT_THAT(r.out.str(), HasSubstr("dht: 23.5 C, 41.0 %"));
    EXPECT_THAT(r.out.str(), HasSubstr("\n0 29 00 17 05\n"));
    EXPECT_THAT(r.out.str(), HasSubstr("| 89 09 70 01 02 03 04 e3 "));
    EXPECT_THAT(r.out.str(), HasSubstr("| 89 09 70 29 00 17 05 4f "));
    EXPECT_EQ(r.shell.run_command("coproc dht drift"), Outcome::Ok);
    EXPECT_THAT(r.out.str(), HasSubstr(", drifting"));
    EXPECT_EQ(r.shell.run_command("coproc dht 23.5"), Outcome::Usage);
    EXPECT_EQ(r.shell.run_command("coproc sr04 far"), Outcome::Usage);
}

TEST(BoardSensors, InfraredCodeSentIsReceived)
{
    SensorBoard r({});
    EXPECT_EQ(r.shell.run_text("open /dev/ir_send; open /dev/ir_recv; "
                               "ioctl 3 IR_SEND_CMD 01 02 03 04 05 06 07 08 09 0A; "
                               "ioctl 4 IR_RECV_CMD 2F 00 00 00 00 00 00 00 00 00; coproc ir send 10 EF 20 DF; "
                               "ioctl 4 IR_RECV_CMD 2F 00 00 00 00 00 00 00 00 00; trace",
                               true),
              Outcome::Ok)
        << r.err.str();
    EXPECT_THAT(r.out.str(), HasSubstr("| 8d 0f 70 01 02 03 04 05 06 07 08 09 0a a4 "));
    EXPECT_THAT(r.out.str(), HasSubstr("\n0 01 02 03 04 "));
    EXPECT_THAT(r.out.str(), HasSubstr("ir_recv: 1 codes waiting [10 ef 20 df]"));
    EXPECT_THAT(r.out.str(), HasSubstr("\n0 10 ef 20 df "));
    EXPECT_EQ(r.shell.run_command("coproc ir send 10 EF"), Outcome::Usage);
}

TEST(BoardSensors, StripBuzzerAndMotionShown)
{
    SensorBoard r({"dev_ws2812=1"});
    EXPECT_EQ(r.shell.run_text("open /dev/ws_2812; write 3 05 00 00 FF 00 00 00 FF; coproc ws2812; "
                               "open /dev/buzzer; write 4 01 B8 01 00 00; coproc buzzer; "
                               "coproc icm20689 accel 0.5 0 1; open /dev/icm20689; read 5 2",
                               true),
              Outcome::Ok)
        << r.err.str();
    EXPECT_THAT(r.out.str(), HasSubstr("ws2812: pin 5, 2 LEDs #ff0000 #0000ff"));
    EXPECT_THAT(r.out.str(), HasSubstr("buzzer: claimed (1 claims), sounding, told on at 440 Hz until told off"));
    EXPECT_THAT(r.out.str(), HasSubstr("\n2 20 00\n"));
    EXPECT_EQ(r.shell.run_command("coproc icm20689 spin"), Outcome::Usage);
    EXPECT_EQ(r.shell.run_command("coproc show"), Outcome::Ok);
    EXPECT_THAT(r.out.str(), HasSubstr("gp2y1010au: "));
}

} // namespace

namespace {

// The numbers of the `stats` row of one device type, in column order.
std::vector<long> stats_row(const std::string &out, const std::string &type)
{
    std::istringstream lines(out);
    std::string line;
    std::vector<long> row;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        if (name != type)
            continue;
        row.clear();
        for (long v; words >> v;)
            row.push_back(v);
    }
    return row;
}

} // namespace

// The hostile peer's spoiling shows in the module's statistics, each reply
// under the first check it failed.
TEST(BoardLink, StatsShowWhatTheSpoiltRepliesDid)
{
    SensorBoard r({});
    EXPECT_EQ(r.shell.run_text("coproc fault crc 0 2; coproc fault noreply 0 1 2; open /dev/quorvel_config; "
                               "read 3 4; read 3 4; read 3 4; read 3 4; stats; coproc fault",
                               false),
              Outcome::Ok)
        << r.err.str();
    const auto row = stats_row(r.out.str(), "config");
    ASSERT_EQ(row.size(), 14u) << r.out.str();
    EXPECT_GE(row[0], 4) << "exchanges";
    EXPECT_EQ(row[2], 0) << "unsent";
    EXPECT_EQ(row[4], 1) << "no reply";
    EXPECT_EQ(row[8], 2) << "bad CRC";
    EXPECT_EQ(row[10], 1) << "timeouts";
    EXPECT_EQ(row[0], row[3] + row[4] + row[5] + row[6] + row[7] + row[8] + row[9]) << "each reply counted once";
    EXPECT_THAT(r.out.str(), HasSubstr("crc        2"));
    EXPECT_THAT(r.out.str(), HasSubstr("noreply    1"));
    EXPECT_EQ(r.shell.run_command("coproc fault nosuch"), Outcome::Usage);
    EXPECT_EQ(r.shell.run_command("coproc fault random 101"), Outcome::Usage);
    EXPECT_EQ(r.shell.run_command("coproc fault random 100 7 crc tail"), Outcome::Ok);
    EXPECT_EQ(r.shell.run_command("stats nosuch"), Outcome::Usage);
}
