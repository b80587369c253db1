// One simulated frame: the scene drawn at the channel's size and one auto-exposure step, as
// IMP_FrameSource_GetFrame makes them, without the wait for the frame's time. The frame
// period is 33.3 ms at 30 frames a second; one core must make a frame far faster.
#include <stdint.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "platform/imp/host/auto_exposure.h"
#include "platform/imp/host/frame_generator.h"

namespace {

void frame_and_exposure(benchmark::State& state, imp_host::View view) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  std::unique_ptr<imp_host::FrameGenerator> scene = imp_host::make_landscape();
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3 / 2);
  imp_host::AutoExposure exposure;
  exposure.start(0);
  const double target = imp_host::kDayAmount / scene->radiance(view);
  // The still part of the scene is drawn once per size and look; keep that out.
  scene->generate(view, 0.0, 1.0, width, height, frame.data());
  double seconds = 0;
  for (auto _ : state) {
    exposure.step(target, 33333.0, false);
    IMPISPEVAttr attr = exposure.attributes();
    benchmark::DoNotOptimize(attr);
    scene->generate(view, seconds, exposure.brightness(target), width, height, frame.data());
    benchmark::DoNotOptimize(frame.data());
    seconds += 1.0 / 30;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DayFrame(benchmark::State& state) {
  frame_and_exposure(state, imp_host::View{});
}
void BM_NightInfraredFrame(benchmark::State& state) {
  imp_host::View view;
  view.night = true;
  view.irLeds = true;
  view.irCutIn = false;
  view.monochrome = true;
  frame_and_exposure(state, view);
}

// The first frame of a look (day, infrared, ...) at a size: the still scene is drawn then.
void BM_FirstFrameOfALook(benchmark::State& state) {
  std::vector<uint8_t> frame(1920 * 1080 * 3 / 2);
  for (auto _ : state) {
    std::unique_ptr<imp_host::FrameGenerator> scene = imp_host::make_landscape();
    scene->generate(imp_host::View{}, 0.0, 1.0, 1920, 1080, frame.data());
    benchmark::DoNotOptimize(frame.data());
  }
}

BENCHMARK(BM_DayFrame)->Args({1920, 1080})->Args({1280, 720})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NightInfraredFrame)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFrameOfALook)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
