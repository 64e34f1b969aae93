// The Qt application of the flow tests (offscreen) and a private $TMPDIR,
// so the window's temporary folder is this run's own.
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace salvor_flow {

class FlowEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/salvor-flows-XXXXXX";
        if (char* dir = mkdtemp(tmpl)) {
            m_tmp = dir;
            setenv("TMPDIR", dir, 1);
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "salvor_flows";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            m_app = new QApplication(argc, argv);
    }
    void TearDown() override
    {
        delete m_app;
        m_app = nullptr;
        std::error_code ec;
        if (!m_tmp.empty())
            std::filesystem::remove_all(m_tmp, ec);
    }
    const std::string& Tmp() const { return m_tmp; }

private:
    QApplication* m_app = nullptr;
    std::string m_tmp;
};

} // namespace salvor_flow
