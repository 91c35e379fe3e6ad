#include "CCuda.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "COmbraRuntime.h"
#include "CVyException.h"
#include "CpuInfo.h"
#include "VyTypes.h"

namespace {

TEST(CCudaTest, ListsTheHostCpuAsDeviceZero) {
    ASSERT_GE(CCuda::EnumerateCudaDevices(), 1);
    const CCudaDevice& device = CCuda::GetDevice(0);
    EXPECT_TRUE(device.IsCpu());
    EXPECT_EQ(device.GetIndex(), 0);
    CVyString name;
    device.GetParams().GetValue(Params::CudaDevice_Name, name);
    EXPECT_EQ(name.ToStdString().rfind("CPU ", 0), 0u) << name.ToStdString();
    EXPECT_NE(name.ToStdString().find(" threads)"), std::string::npos) << name.ToStdString();
    EXPECT_GT(device.GetParams().GetNumber(Params::CudaDevice_MemoryMB), 0.0);
    EXPECT_GE(device.GetParams().GetNumber(Params::CudaDevice_ClockMHz), 0.0);
    EXPECT_THROW(CCuda::GetDevice(CCuda::GetDeviceCount()), CVyException);
    EXPECT_THROW(CCuda::GetDevice(-1), CVyException);
}

TEST(CCudaTest, EndTwiceIsHarmlessAndTheListComesBack) {
    const CCudaDevice& before = CCuda::GetDevice(0);
    CVyString name;
    before.GetParams().GetValue(Params::CudaDevice_Name, name);
    COmbraRuntime::End();
    COmbraRuntime::End();
    // A reference taken before End stays readable.
    CVyString again;
    before.GetParams().GetValue(Params::CudaDevice_Name, again);
    EXPECT_EQ(again.ToStdString(), name.ToStdString());
    EXPECT_EQ(CCuda::GetDeviceCount(), 1);
}

TEST(CCudaTest, ConcurrentEnumerationAndEndAgree) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                if (t == 0) {
                    COmbraRuntime::End();
                } else {
                    EXPECT_EQ(CCuda::EnumerateCudaDevices(), 1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(CCuda::GetDeviceCount(), 1);
}

TEST(CpuInfoTest, ParsesKernelTextFiles) {
    const std::string cpuinfo =
        "processor\t: 0\nvendor_id\t: Acme\nmodel name\t: Acme Core 9 @ 3.0GHz\ncpu MHz\t\t: 2999.5\n"
        "processor\t: 1\nmodel name\t: other\n";
    EXPECT_EQ(Vy::ModelNameFromCpuInfo(cpuinfo), "Acme Core 9 @ 3.0GHz");
    EXPECT_DOUBLE_EQ(Vy::ClockFromCpuInfo(cpuinfo), 2999.5);
    EXPECT_EQ(Vy::ModelNameFromCpuInfo("processor : 0\n"), "unknown model");
    EXPECT_EQ(Vy::ClockFromCpuInfo("processor : 0\n"), 0.0);
    EXPECT_DOUBLE_EQ(Vy::MemoryMBFromMemInfo("MemTotal:       16384000 kB\nMemFree: 1 kB\n"), 16000.0);
}

}  // namespace
