// The database writer and the ODBC connection class against a stand-in driver manager: the
// connection string, the twelve parameters, the diagnostics, the deadlock retry, and the
// failures a real server does not readily produce; and the real driver manager used by several
// station threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "acquisition/MeteoDatabase.h"
#include "acquisition/ODBCConnection.h"
#include "service/Log.h"

namespace {

using namespace acqtest;

struct Diagnostic {
    SQLINTEGER native;
    std::string message;
    std::string state = "HY000";
};

struct Parameter {
    SQLUSMALLINT number;
    SQLSMALLINT ioType, cType, sqlType;
    SQLULEN columnSize;
    SQLSMALLINT decimalDigits;
    SQLLEN bufferLength;
    SQLLEN indicator;
    SQLINTEGER integer;
    double real;
    std::string text;
};

// What the stand-in driver manager was asked and what it answers.
struct FakeDriverManager {
    int env = 0, dbc = 0, stmt = 0;  // their addresses are the handles

    bool failAllocDbc = false;
    SQLRETURN connectResult = SQL_SUCCESS;
    bool connectThrows = false;
    int connectDelayMs = 0;  // a server that takes its time to refuse
    std::string connectDiagnostic;
    std::deque<SQLRETURN> execResults;  // the last one repeats
    bool execThrows = false;
    std::deque<Diagnostic> diagnostics;  // SQLError hands them out in order

    std::vector<std::string> calls;
    std::vector<std::string> connections;
    std::vector<std::pair<SQLINTEGER, intptr_t>> connectAttrs;
    std::vector<std::pair<SQLUSMALLINT, SQLULEN>> connectOptions;
    std::vector<Parameter> bound;
    std::vector<std::pair<SQLLEN *, void *>> buffers;
    std::vector<std::vector<Parameter>> executed;  // parameter values at each execution
    std::vector<std::string> texts;
    std::vector<SQLUSMALLINT> freeStmtOptions;
};

FakeDriverManager *fake = nullptr;

int Count(const std::vector<std::string> &calls, const std::string &name)
{
    int n = 0;
    for (const auto &c : calls) {
        n += c == name ? 1 : 0;
    }
    return n;
}

const OdbcApi FakeApi = {
    [](SQLSMALLINT type, SQLHANDLE, SQLHANDLE *output) -> SQLRETURN {
        if (type == SQL_HANDLE_ENV) {
            fake->calls.push_back("AllocEnv");
            *output = &fake->env;
            return SQL_SUCCESS;
        }
        fake->calls.push_back("AllocDbc");
        if (fake->failAllocDbc) {
            return SQL_ERROR;
        }
        *output = &fake->dbc;
        return SQL_SUCCESS;
    },
    [](SQLHENV, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) -> SQLRETURN {
        if (attribute == SQL_ATTR_ODBC_VERSION &&
            reinterpret_cast<intptr_t>(value) == SQL_OV_ODBC3) {
            fake->calls.push_back("ODBC3");
        }
        return SQL_SUCCESS;
    },
    [](SQLHDBC, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) -> SQLRETURN {
        fake->connectAttrs.emplace_back(attribute, reinterpret_cast<intptr_t>(value));
        return SQL_SUCCESS;
    },
    [](SQLHDBC, SQLHWND hwnd, SQLCHAR *in, SQLSMALLINT inLength, SQLCHAR *, SQLSMALLINT outMax,
       SQLSMALLINT *, SQLUSMALLINT completion) -> SQLRETURN {
        fake->calls.push_back("DriverConnect");
        if (fake->connectThrows) {
            throw std::runtime_error("driver manager broke");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(fake->connectDelayMs));
        EXPECT_EQ(hwnd, nullptr);
        EXPECT_EQ(outMax, 260);
        EXPECT_EQ(completion, SQL_DRIVER_NOPROMPT);
        fake->connections.emplace_back(reinterpret_cast<const char *>(in), size_t(inLength));
        return fake->connectResult;
    },
    [](SQLHDBC) -> SQLRETURN {
        fake->calls.push_back("Disconnect");
        return SQL_SUCCESS;
    },
    [](SQLSMALLINT type, SQLHANDLE) -> SQLRETURN {
        fake->calls.push_back(type == SQL_HANDLE_DBC ? "FreeDbc" : "FreeEnv");
        return SQL_SUCCESS;
    },
    [](SQLHDBC, SQLUSMALLINT option, SQLULEN value) -> SQLRETURN {
        fake->connectOptions.emplace_back(option, value);
        return SQL_SUCCESS;
    },
    [](SQLSMALLINT type, SQLHANDLE, SQLSMALLINT record, SQLCHAR *, SQLINTEGER *, SQLCHAR *message,
       SQLSMALLINT messageMax, SQLSMALLINT *messageLength) -> SQLRETURN {
        EXPECT_EQ(type, SQL_HANDLE_DBC);
        EXPECT_EQ(record, 1);
        EXPECT_EQ(messageMax, 260);
        const std::string &text = fake->connectDiagnostic;
        const size_t n = std::min(text.size(), size_t(messageMax - 1));
        std::memcpy(message, text.c_str(), n);
        message[n] = '\0';
        *messageLength = SQLSMALLINT(text.size());
        return n < text.size() ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
    },
    [](SQLHENV henv, SQLHDBC, SQLHSTMT, SQLCHAR *state, SQLINTEGER *native, SQLCHAR *message,
       SQLSMALLINT messageMax, SQLSMALLINT *messageLength) -> SQLRETURN {
        EXPECT_EQ(henv, nullptr);
        EXPECT_EQ(messageMax, 512);
        fake->calls.push_back("Error");
        if (fake->diagnostics.empty()) {
            return SQL_NO_DATA;
        }
        const Diagnostic d = fake->diagnostics.front();
        fake->diagnostics.pop_front();
        std::snprintf(reinterpret_cast<char *>(state), 6, "%s", d.state.c_str());
        *native = d.native;
        std::snprintf(reinterpret_cast<char *>(message), size_t(messageMax), "%s",
                      d.message.c_str());
        *messageLength = SQLSMALLINT(d.message.size());
        return SQL_SUCCESS;
    },
    [](SQLHDBC, SQLHSTMT *hstmt) -> SQLRETURN {
        fake->calls.push_back("AllocStmt");
        fake->bound.clear();
        fake->buffers.clear();
        *hstmt = &fake->stmt;
        return SQL_SUCCESS;
    },
    [](SQLHSTMT, SQLUSMALLINT number, SQLSMALLINT ioType, SQLSMALLINT cType, SQLSMALLINT sqlType,
       SQLULEN columnSize, SQLSMALLINT decimalDigits, SQLPOINTER value, SQLLEN bufferLength,
       SQLLEN *indicator) -> SQLRETURN {
        Parameter p{number,       ioType, cType, sqlType, columnSize, decimalDigits,
                    bufferLength, 0,      0,     0.0,     ""};
        fake->bound.push_back(p);
        fake->buffers.emplace_back(indicator, value);
        return SQL_SUCCESS;
    },
    [](SQLHSTMT, SQLCHAR *text, SQLINTEGER length) -> SQLRETURN {
        fake->calls.push_back("ExecDirect");
        if (fake->execThrows) {
            throw std::runtime_error("statement broke");
        }
        EXPECT_EQ(length, SQL_NTS);
        fake->texts.emplace_back(reinterpret_cast<const char *>(text));
        // The values as the driver reads them: at execution time.
        std::vector<Parameter> values = fake->bound;
        for (size_t i = 0; i < values.size(); ++i) {
            Parameter &p = values[i];
            p.indicator = *fake->buffers[i].first;
            void *buffer = fake->buffers[i].second;
            if (p.cType == SQL_C_LONG) {
                p.integer = *static_cast<SQLINTEGER *>(buffer);
            } else if (p.cType == SQL_C_DOUBLE) {
                p.real = *static_cast<double *>(buffer);
            } else {
                p.text = static_cast<const char *>(buffer);
            }
        }
        fake->executed.push_back(values);
        const SQLRETURN rc = fake->execResults.empty() ? SQL_SUCCESS : fake->execResults.front();
        if (fake->execResults.size() > 1) {
            fake->execResults.pop_front();
        }
        return rc;
    },
    [](SQLHSTMT, SQLUSMALLINT option) -> SQLRETURN {
        fake->calls.push_back("FreeStmt");
        fake->freeStmtOptions.push_back(option);
        return SQL_SUCCESS;
    },
};

class OdbcFakeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake = &driverManager;
        OdbcCalls = FakeApi;
        StartFreshLog();
        TraceLevel = 1;
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ini = (FreshFolder("out_" + name) / "Pelmora.ini").string();
    }
    void TearDown() override
    {
        OdbcCalls = DriverManagerApi();
        fake = nullptr;
        TraceLevel = 0;
    }

    void WriteIni(const std::string &odbc) { WriteWholeFile(ini, "[odbc]\r\n" + odbc); }
    std::string ReportFolder() const
    {
        return (std::filesystem::path(ini).parent_path() / "").string();
    }
    std::string Standard(const std::string &extra = "") const
    {
        return "driver=SQL Server\r\nserver=wx-db\r\ndatabase=Wetter\r\nuid=meteo\r\n"
               "pwd=s3cret\r\n" +
               extra;
    }

    std::unique_ptr<CMeteoDatabase> SetUpWriter()
    {
        std::unique_ptr<CMeteoDatabase> writer(new CMeteoDatabase(7, ini.c_str()));
        writer->SetUp();
        writer->SetReportFolder(ReportFolder());
        return writer;
    }
    void CallWith(CMeteoDatabase &writer, const SYSTEMTIME &st) { writer.Call(st, data, slot1); }
    void Call(CMeteoDatabase &writer) { CallWith(writer, reading); }

    std::vector<std::string> OdbcLog() const
    {
        std::vector<std::string> lines;
        for (const auto &t : LogTexts()) {
            if (t.find("ODBC") != std::string::npos) {
                lines.push_back(t);
            }
        }
        return lines;
    }

    FakeDriverManager driverManager;
    std::string ini;
    SYSTEMTIME reading = MakeTime(2024, 3, 5, 7, 8, 9);
    MeteoData data = MakeData();
    AverageSlot slot1 = MakeSlot();

    static SYSTEMTIME MakeTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s)
    {
        SYSTEMTIME st{};
        st.wYear = y;
        st.wMonth = mo;
        st.wDay = d;
        st.wHour = h;
        st.wMinute = mi;
        st.wSecond = s;
        return st;
    }
    static MeteoData MakeData()
    {
        MeteoData d{};
        d.nSize = 64;
        d.nVersion = 1;
        d.dWindSpeed = 12.3;
        d.dWindDir = 270;
        d.dOutsideTemp = 18.4;
        d.dHumidity = 64;
        d.dRain = 0.2;
        d.dPressure = 1013.2;
        d.dSolar = 455;
        return d;
    }
    static AverageSlot MakeSlot()
    {
        AverageSlot s{};
        s.dWindMeanDir = 225.5;
        s.dWindStdDir = 44.25;
        return s;
    }
};

// --- the connection class ------------------------------------------------------------------

TEST_F(OdbcFakeTest, connection_allocates_an_odbc3_environment_and_a_connection_on_it)
{
    CODBCConnection connection;
    EXPECT_EQ(driverManager.calls, (std::vector<std::string>{"AllocEnv", "ODBC3", "AllocDbc"}));
    EXPECT_EQ(connection.henv, &driverManager.env);
    EXPECT_EQ(connection.hdbc, &driverManager.dbc);
    EXPECT_EQ(connection.nLoginTimeout, 5);
    EXPECT_EQ(connection.nConnectionTimeout, 0);
    EXPECT_EQ(connection.bConnected, 0);
    EXPECT_EQ(connection.nRowCount, 0);
}

TEST_F(OdbcFakeTest, connect_sets_the_login_time_out_and_a_positive_connection_time_out_only)
{
    CODBCConnection connection;
    EXPECT_TRUE(connection.Connect("driver=x;"));
    EXPECT_EQ(driverManager.connectAttrs,
              (std::vector<std::pair<SQLINTEGER, intptr_t>>{{SQL_ATTR_LOGIN_TIMEOUT, 5}}));
    EXPECT_EQ(driverManager.connections, std::vector<std::string>{"driver=x;"});

    driverManager.connectAttrs.clear();
    connection.nConnectionTimeout = 30;
    connection.nLoginTimeout = 9;
    connection.Connect("driver=x;");
    EXPECT_EQ(driverManager.connectAttrs,
              (std::vector<std::pair<SQLINTEGER, intptr_t>>{{SQL_ATTR_CONNECTION_TIMEOUT, 30},
                                                            {SQL_ATTR_LOGIN_TIMEOUT, 9}}));
}

TEST_F(OdbcFakeTest, connect_with_information_counts_as_connected_and_an_error_does_not)
{
    CODBCConnection connection;
    driverManager.connectResult = SQL_SUCCESS_WITH_INFO;
    EXPECT_TRUE(connection.Connect("driver=x;"));
    EXPECT_EQ(connection.bConnected, 1);
    driverManager.connectResult = SQL_ERROR;
    EXPECT_FALSE(connection.Connect("driver=x;"));
    EXPECT_EQ(connection.bConnected, 0);
}

TEST_F(OdbcFakeTest, disconnect_frees_connection_then_environment_once)
{
    {
        CODBCConnection connection;
        connection.Connect("driver=x;");
        driverManager.calls.clear();
        connection.Disconnect();
        EXPECT_EQ(connection.bConnected, 0);
        EXPECT_EQ(connection.hdbc, nullptr);
        EXPECT_EQ(connection.henv, nullptr);
        EXPECT_EQ(driverManager.calls,
                  (std::vector<std::string>{"Disconnect", "FreeDbc", "FreeEnv"}));
    }
    // The destructor finds nothing left to free.
    EXPECT_EQ(Count(driverManager.calls, "FreeDbc"), 1);
}

TEST_F(OdbcFakeTest, disconnect_without_a_connection_handle_only_clears_the_flag)
{
    driverManager.failAllocDbc = true;
    CODBCConnection connection;
    connection.bConnected = 1;
    driverManager.calls.clear();
    connection.Disconnect();
    EXPECT_EQ(connection.bConnected, 0);
    EXPECT_TRUE(driverManager.calls.empty());
}

// --- connection string and connecting ------------------------------------------------------

TEST_F(OdbcFakeTest, trusted_connection_1_adds_the_attribute_and_the_log_masks_the_password)
{
    WriteIni(Standard("trusted_connection=1\r\n"));
    auto writer = SetUpWriter();
    EXPECT_EQ(driverManager.connections,
              std::vector<std::string>{"driver=SQL Server;server=wx-db;database=Wetter;UID=meteo;"
                                       "PWD=s3cret;trusted_connection=1;dsn=;"});
    EXPECT_EQ(OdbcLog(), std::vector<std::string>{
                             "ThreadMeteoConnector(Station-ID=7): ODBC-DSN=driver=SQL Server;"
                             "server=wx-db;database=Wetter;UID=meteo;PWD=***;"
                             "trusted_connection=1;dsn=;"});
    // Connected: auto-commit is switched on.
    EXPECT_EQ(driverManager.connectOptions,
              (std::vector<std::pair<SQLUSMALLINT, SQLULEN>>{{SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON}}));
    EXPECT_TRUE(writer->Connected());
}

TEST_F(OdbcFakeTest, trusted_connection_other_than_1_leaves_the_attribute_out)
{
    for (const char *value : {"2", "0"}) {
        driverManager.connections.clear();
        WriteIni(Standard(std::string("trusted_connection=") + value + "\r\n"));
        SetUpWriter();
        EXPECT_EQ(driverManager.connections,
                  std::vector<std::string>{"driver=SQL Server;server=wx-db;database=Wetter;"
                                           "UID=meteo;PWD=s3cret;dsn=;"})
            << value;
    }
}

TEST_F(OdbcFakeTest, empty_server_connects_not_at_start_but_at_the_first_reading)
{
    WriteIni("driver=SQL Server\r\ndatabase=Wetter\r\n");
    auto writer = SetUpWriter();
    EXPECT_TRUE(driverManager.connections.empty());
    EXPECT_FALSE(writer->Connected());
    Call(*writer);
    EXPECT_EQ(
        driverManager.connections,
        std::vector<std::string>{"driver=SQL Server;server=;database=Wetter;UID=;PWD=;dsn=;"});
    EXPECT_EQ(Count(driverManager.calls, "ExecDirect"), 1);
    // An empty password has nothing to mask.
    EXPECT_EQ(OdbcLog().front(),
              "ThreadMeteoConnector(Station-ID=7): ODBC-DSN=driver=SQL Server;"
              "server=;database=Wetter;UID=;PWD=;dsn=;");
}

TEST_F(OdbcFakeTest, failed_connection_is_logged_with_the_diagnostic_and_tried_again_per_reading)
{
    WriteIni(Standard("Backlog=0\r\n"));
    driverManager.connectResult = SQL_ERROR;
    driverManager.connectDiagnostic = "[unixODBC][Driver Manager]Can't open lib 'SQL Server'";
    auto writer = SetUpWriter();
    EXPECT_FALSE(writer->Connected());
    Call(*writer);
    Call(*writer);
    const std::string failure =
        "ERROR ODBC ThreadMeteoConnector(Station-ID=7): Kann Verbindung zu "
        "Datenbank Wetter nicht aufbauen. Fehler: [unixODBC][Driver "
        "Manager]Can't open lib 'SQL Server'";
    EXPECT_EQ(CountOf(OdbcLog(), failure), 3);
    EXPECT_EQ(driverManager.connections.size(), 3u);
    EXPECT_EQ(Count(driverManager.calls, "ExecDirect"), 0);
    // Each failed object was destroyed.
    EXPECT_EQ(Count(driverManager.calls, "AllocEnv"), 3);
    EXPECT_EQ(Count(driverManager.calls, "FreeEnv"), 3);

    driverManager.connectResult = SQL_SUCCESS;
    Call(*writer);
    EXPECT_EQ(Count(driverManager.calls, "ExecDirect"), 1);
    EXPECT_EQ(OdbcLog().back(), "OK ODBC Calling prwr_insert_wendrake");
}

TEST_F(OdbcFakeTest, exception_while_connecting_is_logged_and_leaves_no_connection)
{
    WriteIni(Standard());
    driverManager.connectThrows = true;
    auto writer = SetUpWriter();
    EXPECT_FALSE(writer->Connected());
    EXPECT_EQ(OdbcLog().back(), "ERROR ODBC ThreadMeteoConnector(Station-ID=7): CATCH");
    EXPECT_EQ(Count(driverManager.calls, "FreeEnv"), 1);
}

// --- the call ------------------------------------------------------------------------------

TEST_F(OdbcFakeTest, call_binds_the_twelve_parameters_in_order_with_their_types_and_values)
{
    WriteIni(Standard());
    auto writer = SetUpWriter();
    Call(*writer);

    ASSERT_EQ(driverManager.executed.size(), 1u);
    const std::vector<Parameter> &p = driverManager.executed[0];
    ASSERT_EQ(p.size(), 12u);
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_EQ(p[i].number, i + 1);
        EXPECT_EQ(p[i].ioType, SQL_PARAM_INPUT);
        EXPECT_EQ(p[i].decimalDigits, 0);
    }
    EXPECT_EQ(p[0].cType, SQL_C_LONG);
    EXPECT_EQ(p[0].sqlType, SQL_INTEGER);
    EXPECT_EQ(p[0].columnSize, 0u);
    EXPECT_EQ(p[0].bufferLength, 0);
    EXPECT_EQ(p[0].indicator, 4);
    EXPECT_EQ(p[0].integer, 7);

    EXPECT_EQ(p[1].text, "2024-03-5 07:08:09");
    EXPECT_EQ(p[2].text, "05.03.2024 07:08:09");
    for (size_t i : {1, 2}) {
        EXPECT_EQ(p[i].cType, SQL_C_CHAR);
        EXPECT_EQ(p[i].sqlType, SQL_CHAR);
        EXPECT_EQ(p[i].columnSize, p[i].text.size());
        EXPECT_EQ(p[i].bufferLength, SQLLEN(p[i].text.size()));
        EXPECT_EQ(p[i].indicator, SQL_NTS);
    }

    // Pressure before rain.
    const double expected[] = {12.3, 270, 225.5, 44.25, 18.4, 64, 1013.2, 0.2, 455};
    for (size_t i = 3; i < 12; ++i) {
        EXPECT_EQ(p[i].cType, SQL_C_DOUBLE);
        EXPECT_EQ(p[i].sqlType, SQL_REAL);
        EXPECT_EQ(p[i].columnSize, 0u);
        EXPECT_EQ(p[i].bufferLength, 0);
        EXPECT_EQ(p[i].indicator, 8);
        EXPECT_EQ(p[i].real, expected[i - 3]) << "parameter " << i + 1;
    }

    EXPECT_EQ(driverManager.texts,
              std::vector<std::string>{"{ call prwr_insert_wendrake (?,?,?,?,?,?,?,?,?,?,?,?) }"});
    EXPECT_EQ(driverManager.freeStmtOptions, std::vector<SQLUSMALLINT>{SQL_DROP});
    EXPECT_EQ(OdbcLog().back(), "OK ODBC Calling prwr_insert_wendrake");
    EXPECT_TRUE(writer->Connected());
}

TEST_F(OdbcFakeTest, time_texts_pad_all_but_the_day_of_the_first)
{
    WriteIni(Standard("proc=dbo.prwr_other\r\n"));
    auto writer = SetUpWriter();
    CallWith(*writer, MakeTime(2024, 11, 15, 23, 5, 0));
    CallWith(*writer, MakeTime(987, 1, 1, 0, 0, 7));
    ASSERT_EQ(driverManager.executed.size(), 2u);
    EXPECT_EQ(driverManager.executed[0][1].text, "2024-11-15 23:05:00");
    EXPECT_EQ(driverManager.executed[0][2].text, "15.11.2024 23:05:00");
    EXPECT_EQ(driverManager.executed[1][1].text, "0987-01-1 00:00:07");
    EXPECT_EQ(driverManager.executed[1][2].text, "01.01.0987 00:00:07");
    EXPECT_EQ(driverManager.texts[0], "{ call dbo.prwr_other (?,?,?,?,?,?,?,?,?,?,?,?) }");
    EXPECT_EQ(OdbcLog().back(), "OK ODBC Calling dbo.prwr_other");
}

TEST_F(OdbcFakeTest, success_with_information_drops_the_connection_and_the_next_reading_reconnects)
{
    WriteIni(Standard("Backlog=0\r\n"));
    auto writer = SetUpWriter();
    driverManager.execResults = {SQL_SUCCESS_WITH_INFO, SQL_SUCCESS};
    driverManager.diagnostics = {{0, "[Vendor][SQL Server]first, taken by the retry test"},
                                 {0, "[Vendor][SQL Server]Warning: Null value is eliminated"}};
    driverManager.calls.clear();
    Call(*writer);
    EXPECT_FALSE(writer->Connected());
    EXPECT_EQ(driverManager.calls,
              (std::vector<std::string>{"AllocStmt", "ExecDirect", "Error", "Error", "FreeStmt",
                                        "Disconnect", "FreeDbc", "FreeEnv"}));
    EXPECT_EQ(OdbcLog().back(),
              "ERROR ODBC ThreadMeteoConnector(Station-ID=7): [SQL Server]Warning: "
              "Null value is eliminated");

    Call(*writer);
    EXPECT_TRUE(writer->Connected());
    EXPECT_EQ(driverManager.connections.size(), 2u);
    EXPECT_EQ(OdbcLog().back(), "OK ODBC Calling prwr_insert_wendrake");
    // Each reading was executed once.
    EXPECT_EQ(driverManager.executed.size(), 2u);
}

TEST_F(OdbcFakeTest, diagnostic_is_logged_from_the_server_marker_on_or_whole_without_it)
{
    const struct {
        const char *message;
        const char *logged;
    } cases[] = {
        {"[Microsoft][ODBC SQL Server Driver][SQL Server]Could not find stored procedure",
         "[SQL Server]Could not find stored procedure"},
        {"[unixODBC][Driver Manager]Function sequence error",
         "[unixODBC][Driver Manager]Function sequence error"},
        {"[A][SQL Server]one [SQL Server]two", "[SQL Server]one [SQL Server]two"},
    };
    WriteIni(Standard("Backlog=0\r\n"));
    auto writer = SetUpWriter();
    for (const auto &c : cases) {
        driverManager.execResults = {SQL_ERROR};
        driverManager.diagnostics = {{0, "taken by the retry test"}, {0, c.message}};
        Call(*writer);
        EXPECT_EQ(OdbcLog().back(),
                  std::string("ERROR ODBC ThreadMeteoConnector(Station-ID=7): ") + c.logged);
        EXPECT_FALSE(writer->Connected());
    }
    // With no second record the text is empty.
    driverManager.execResults = {SQL_ERROR};
    driverManager.diagnostics = {{0, "taken by the retry test"}};
    Call(*writer);
    EXPECT_EQ(OdbcLog().back(), "ERROR ODBC ThreadMeteoConnector(Station-ID=7): ");
}

TEST_F(OdbcFakeTest, deadlock_victim_is_executed_again_at_once_without_a_log_line)
{
    WriteIni(Standard());
    auto writer = SetUpWriter();
    driverManager.execResults = {SQL_ERROR, SQL_ERROR, SQL_SUCCESS};
    driverManager.diagnostics = {{1205, "[SQL Server]Transaction was deadlocked"},
                                 {1205, "[SQL Server]Transaction was deadlocked"}};
    Call(*writer);
    EXPECT_EQ(Count(driverManager.calls, "ExecDirect"), 3);
    EXPECT_EQ(Count(driverManager.calls, "AllocStmt"), 1);
    EXPECT_EQ(OdbcLog().back(), "OK ODBC Calling prwr_insert_wendrake");
    EXPECT_EQ(CountOf(OdbcLog(), "OK ODBC Calling prwr_insert_wendrake"), 1);
    EXPECT_TRUE(writer->Connected());
}

TEST_F(OdbcFakeTest, deadlock_retries_are_bounded_and_then_count_as_a_failed_call)
{
    WriteIni(Standard());
    auto writer = SetUpWriter();
    driverManager.execResults = {SQL_ERROR};
    for (int i = 0; i < 50; ++i) {
        driverManager.diagnostics.push_back({1205, "[SQL Server]Transaction was deadlocked"});
    }
    Call(*writer);
    EXPECT_EQ(Count(driverManager.calls, "ExecDirect"), CMeteoDatabase::MaxDeadlockRetries + 1);
    const auto log = OdbcLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "ERROR ODBC ThreadMeteoConnector(Station-ID=7): chosen as "
              "deadlock victim 6 times in a row; the call is given up.");
    EXPECT_EQ(log.back(), "ERROR ODBC ThreadMeteoConnector(Station-ID=7): ");
    EXPECT_FALSE(writer->Connected());
}

TEST_F(OdbcFakeTest, execution_that_did_not_fail_is_never_repeated)
{
    WriteIni(Standard());
    auto writer = SetUpWriter();
    driverManager.execResults = {SQL_SUCCESS_WITH_INFO};
    driverManager.diagnostics = {{1205, "[SQL Server]odd"}, {1205, "[SQL Server]odd"}};
    Call(*writer);
    EXPECT_EQ(Count(driverManager.calls, "ExecDirect"), 1);
    EXPECT_FALSE(writer->Connected());
}

TEST_F(OdbcFakeTest, exception_during_the_call_is_logged_and_drops_the_connection)
{
    WriteIni(Standard());
    auto writer = SetUpWriter();
    driverManager.execThrows = true;
    Call(*writer);
    EXPECT_EQ(OdbcLog().back(), "ERROR ODBC ThreadMeteoConnector(Station-ID=7): Catch");
    EXPECT_FALSE(writer->Connected());
    EXPECT_EQ(Count(driverManager.calls, "Disconnect"), 1);
}

TEST_F(OdbcFakeTest, thread_end_disconnects_an_existing_connection)
{
    WriteIni(Standard());
    auto writer = SetUpWriter();
    writer->Disconnect();
    EXPECT_FALSE(writer->Connected());
    EXPECT_EQ(Count(driverManager.calls, "Disconnect"), 1);
    EXPECT_EQ(Count(driverManager.calls, "FreeEnv"), 1);
}

// --- texts that do not fit -----------------------------------------------------------------

TEST_F(OdbcFakeTest, connection_string_too_long_is_refused_not_cut)
{
    // 240 characters of database name take the string past 259.
    WriteIni(Standard("Backlog=0\r\ndatabase=" + std::string(240, 'w') + "\r\n")
                 .replace(Standard().find("database=Wetter\r\n"), 17, ""));
    auto writer = SetUpWriter();
    Call(*writer);
    EXPECT_TRUE(driverManager.connections.empty());
    EXPECT_EQ(Count(driverManager.calls, "AllocEnv"), 0);
    const std::string refusal =
        "ERROR ODBC ThreadMeteoConnector(Station-ID=7): ODBC-DSN is longer "
        "than 259 characters; no connection is made.";
    EXPECT_EQ(CountOf(OdbcLog(), refusal), 2);
}

TEST_F(OdbcFakeTest, call_text_up_to_259_characters_is_used_and_a_longer_one_refused)
{
    // "{ call " and " (?,?,?,?,?,?,?,?,?,?,?,?) }" take 35 characters.
    WriteIni(Standard("proc=" + std::string(224, 'p') + "\r\n"));
    auto writer = SetUpWriter();
    Call(*writer);
    ASSERT_EQ(driverManager.texts.size(), 1u);
    EXPECT_EQ(driverManager.texts[0].size(), 259u);

    WriteIni(Standard("proc=" + std::string(225, 'p') + "\r\n"));
    auto longer = SetUpWriter();
    driverManager.calls.clear();
    Call(*longer);
    EXPECT_EQ(Count(driverManager.calls, "ExecDirect"), 0);
    EXPECT_EQ(OdbcLog().back(), "ERROR ODBC ThreadMeteoConnector(Station-ID=7): the call of " +
                                    std::string(225, 'p') +
                                    " is longer than 259 characters; no call is made.");
}

TEST_F(OdbcFakeTest, long_diagnostic_is_cut_to_the_buffer_with_a_line_saying_so)
{
    WriteIni(Standard());
    auto writer = SetUpWriter();
    const std::string message = "[SQL Server]" + std::string(300, 'x');
    driverManager.execResults = {SQL_ERROR};
    driverManager.diagnostics = {{0, "taken by the retry test"}, {0, message}};
    Call(*writer);
    const auto log = OdbcLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "ERROR ODBC ThreadMeteoConnector(Station-ID=7): diagnostic text "
              "of 312 characters, cut to 259.");
    EXPECT_EQ(log.back(),
              "ERROR ODBC ThreadMeteoConnector(Station-ID=7): " + message.substr(0, 259));
}

TEST_F(OdbcFakeTest, long_connection_diagnostic_is_cut_with_a_line_saying_so)
{
    WriteIni(Standard());
    driverManager.connectResult = SQL_ERROR;
    driverManager.connectDiagnostic = std::string(270, 'd');
    SetUpWriter();
    const auto log = OdbcLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "ERROR ODBC ThreadMeteoConnector(Station-ID=7): diagnostic text "
              "of 270 characters, cut to 259.");
    EXPECT_EQ(log.back(),
              "ERROR ODBC ThreadMeteoConnector(Station-ID=7): Kann Verbindung zu "
              "Datenbank Wetter nicht aufbauen. Fehler: " +
                  std::string(259, 'd'));
}

// --- the backlog --------------------------------------------------------------------------

class OdbcBacklogTest : public OdbcFakeTest {
protected:
    std::string Rejected() const { return ReadWholeFile(ReportFolder() + "7_Rejected.txt"); }
    // Reading n, one every 20 s, with solar n, as the connector makes the calls.
    void Reading(CMeteoDatabase &writer, int n, bool bReplay = true)
    {
        const SYSTEMTIME st = MakeTime(2024, 3, 5, 7, WORD(n / 3), WORD(n % 3 * 20));
        data.dSolar = n;
        writer.Call(st, data, slot1);
        if (bReplay)
            writer.Replay(st);
    }
    std::vector<int> ExecutedSolar() const
    {
        std::vector<int> solar;
        for (const auto &values : driverManager.executed)
            solar.push_back(int(values.at(11).real));
        return solar;
    }
};

TEST_F(OdbcBacklogTest, a_row_refused_for_its_data_is_set_aside_and_others_wait_for_the_server)
{
    const struct {
        const char *state;
        bool refused;
    } cases[] = {{"22003", true},  {"23505", true},  {"42883", true},  {"01000", true},
                 {"08S01", false}, {"40001", false}, {"57014", false}, {"HYT00", false},
                 {"HY000", false}, {"", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.state);
        std::filesystem::remove(ReportFolder() + "7_Rejected.txt");
        WriteIni(Standard("RetrySeconds=0\r\n"));
        auto writer = SetUpWriter();
        driverManager.executed.clear();
        // A lost connection is tried once more on a new one at once.
        const bool lost = std::string(c.state) == "08S01";
        driverManager.execResults = {SQL_ERROR, SQLRETURN(lost ? SQL_ERROR : SQL_SUCCESS),
                                     SQL_SUCCESS};
        driverManager.diagnostics = {{0, "first", c.state}, {0, "[SQL Server]the reason", c.state}};
        if (lost)
            driverManager.diagnostics.insert(driverManager.diagnostics.end(),
                                             {{0, "", c.state}, {0, "", c.state}});
        Reading(*writer, 1, false);
        EXPECT_EQ(writer->Waiting(), c.refused ? 0u : 1u);
        writer->Replay(MakeTime(2024, 3, 5, 7, 0, 20));
        const std::string rejected = Rejected();
        if (c.refused) {
            const std::string row =
                "7\t2024-03-5 07:00:20\t05.03.2024 07:00:20\t12.3\t270\t225.5\t"
                "44.25\t18.4\t64\t1013.2\t0.2\t1";
            EXPECT_EQ(rejected, row + "\t" + c.state + "\t[SQL Server]the reason\r\n");
            EXPECT_EQ(OdbcLog().back(),
                      "ERROR ODBC ThreadMeteoConnector(Station-ID=7): reading refused by the "
                      "database, written to " +
                          ReportFolder() + "7_Rejected.txt: " + row);
        }
        // The next reading goes on either way, after the one that waited.
        Reading(*writer, 2);
        const std::vector<int> solar = ExecutedSolar();
        EXPECT_EQ(solar.back(), 2);
        EXPECT_EQ(std::count(solar.begin(), solar.end(), 1), c.refused ? 1 : lost ? 3 : 2);
        EXPECT_EQ(writer->Waiting(), 0u);
    }
}

TEST_F(OdbcBacklogTest, while_the_database_is_away_a_reading_costs_no_connection_attempt)
{
    // Each attempt takes 300 ms to fail, as a login time-out would.
    WriteIni(Standard());
    driverManager.connectResult = SQL_ERROR;
    driverManager.connectDelayMs = 300;
    auto writer = SetUpWriter();
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 20; ++n)
        Reading(*writer, n);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_EQ(driverManager.connections.size(), 1u);
    EXPECT_EQ(writer->Waiting(), 20u);
}

TEST_F(OdbcBacklogTest, rows_older_than_backlog_days_move_to_the_rejected_file)
{
    WriteIni(Standard("BacklogDays=2\r\nRetrySeconds=0\r\n"));
    driverManager.connectResult = SQL_ERROR;
    auto writer = SetUpWriter();
    for (const SYSTEMTIME &st : {MakeTime(2024, 3, 1, 10, 0, 0), MakeTime(2024, 3, 1, 10, 0, 20),
                                 MakeTime(2024, 3, 3, 10, 0, 10)}) {
        writer->Call(st, data, slot1);
        writer->Replay(st);
    }
    // Two days before the last reading is 10:00:10 on the first.
    EXPECT_EQ(writer->Waiting(), 2u);
    EXPECT_EQ(Rejected().find("7\t2024-03-1 10:00:00\t"), 0u);
    EXPECT_EQ(Rejected().substr(Rejected().size() - 27), "\t-\tolder than BacklogDays\r\n");
    EXPECT_EQ(CountOf(LogTexts(),
                      "ERROR ThreadMeteoConnector(Station-ID=7): 1 readings older "
                      "than 2 days moved from the backlog to " +
                          ReportFolder() + "7_Rejected.txt"),
              1);
}

TEST_F(OdbcBacklogTest, backlog_0_and_no_database_leave_no_backlog_file)
{
    for (const std::string &odbc : {Standard("Backlog=0\r\n"), std::string("database=x\r\n")}) {
        WriteIni(odbc);
        driverManager.connectResult = SQL_ERROR;
        auto writer = SetUpWriter();
        Reading(*writer, 1);
        EXPECT_FALSE(std::filesystem::exists(ReportFolder() + "7_Backlog.txt")) << odbc;
    }
}

// --- the real driver manager, from several station threads at once ------------------------

// Every station thread makes its own environment. The driver manager fills some process-wide
// state of its own while it does so, without a lock; under ThreadSanitizer this test reports
// that unless the environments are made one at a time.
TEST(OdbcDriverManager, stations_make_and_free_environments_at_once)
{
    ASSERT_EQ(OdbcCalls.AllocHandle, DriverManagerApi().AllocHandle);
    constexpr int threads = 4;
    constexpr int rounds = 50;
    std::atomic<int> ready{0};
    std::atomic<int> made{0};
    std::atomic<int> connected{0};
    std::vector<std::thread> stations;
    for (int t = 0; t < threads; ++t) {
        stations.emplace_back([&] {
            ++ready;
            while (ready.load() < threads) {
                std::this_thread::yield();
            }
            for (int r = 0; r < rounds; ++r) {
                CODBCConnection connection;
                if (connection.henv != SQL_NULL_HENV && connection.hdbc != SQL_NULL_HDBC)
                    ++made;
                if (connection.Connect("DRIVER={Pelmora No Such Driver};SERVER=none"))
                    ++connected;
                connection.Disconnect();
                if (connection.hdbc != SQL_NULL_HDBC || connection.henv != SQL_NULL_HENV)
                    --made;
            }
        });
    }
    for (auto &station : stations)
        station.join();
    EXPECT_EQ(made.load(), threads * rounds);
    EXPECT_EQ(connected.load(), 0);
}

}  // namespace
