// Every command of the C interface refuses each NULL text, output and list
// (given with a nonzero size) with KESTREL_BAD_ARGUMENT and an error text
// that names the argument, before the client is used: the same call with
// every argument given fails on the missing link instead.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "kestrel/kestrel_c.h"

namespace {

// Room for whatever one argument points to: a text, a list, an output.
struct Slot {
  alignas(double) char bytes[4096] = {};
};

// A usable value of an argument of type T: a text, a list of four texts or
// points, room for an output, a point, or 4 (a count or a capacity).
template <typename T>
T Given(Slot& slot) {
  if constexpr (std::is_same_v<T, const char*>) {
    return "x";
  } else if constexpr (std::is_same_v<T, const char* const*>) {
    static const char* const kTexts[4] = {"a", "b", "c", "d"};
    return kTexts;
  } else if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(slot.bytes);
  } else if constexpr (std::is_same_v<T, kestrel_point>) {
    return kestrel_point{1.0, 2.0};
  } else {
    return static_cast<T>(4);
  }
}

template <typename... A, std::size_t... I>
void EachNullRefused(int (*operation)(kestrel_client*, A...), std::index_sequence<I...>) {
  constexpr std::size_t kNone = sizeof...(A);
  constexpr bool kPointer[] = {std::is_pointer_v<A>..., false};
  kestrel_client* client = kestrel_client_new("nulls");
  std::array<Slot, sizeof...(A) + 1> slots;
  const auto call = [&](std::size_t null_at) {
    return operation(client, (I == null_at ? A{} : Given<A>(slots[I]))...);
  };
  call(kNone);
  ASSERT_NE(kestrel_last_failure(client), KESTREL_BAD_ARGUMENT) << "argument refused unasked";
  std::array<char, 256> error;
  for (std::size_t i = 0; i < kNone; ++i) {
    if (!kPointer[i]) continue;
    SCOPED_TRACE("NULL argument " + std::to_string(i + 1));
    EXPECT_EQ(call(i), 0);
    EXPECT_EQ(kestrel_last_failure(client), KESTREL_BAD_ARGUMENT);
    kestrel_error_text(client, error.data(), error.size());
    EXPECT_NE(std::strstr(error.data(), " is NULL"), nullptr) << error.data();
  }
  kestrel_client_free(client);
}

template <typename... A>
void EachNullRefused(int (*operation)(kestrel_client*, A...)) {
  EachNullRefused(operation, std::index_sequence_for<A...>{});
}

void Quiet(int, const char*, const char*, std::size_t, void*) {}

// One row per command: its name and its check.
#define NULLS(operation) \
  std::pair<const char*, void (*)()> { #operation, [] { EachNullRefused(&operation); } }

TEST(CInterface, EveryCommandRefusesEachNullArgument) {
  kestrel_set_console_sink(&Quiet, nullptr);
  for (const auto& [name, check] : {
           NULLS(kestrel_set_gain),
           NULLS(kestrel_set_exposure),
           NULLS(kestrel_set_light),
           NULLS(kestrel_set_light_and_exposure),
           NULLS(kestrel_get_gain),
           NULLS(kestrel_get_exposure),
           NULLS(kestrel_get_light),
           NULLS(kestrel_start_grab),
           NULLS(kestrel_stop_grab),
           NULLS(kestrel_clear_camera_iamge),
           NULLS(kestrel_get_camera_scale),
           NULLS(kestrel_set_target_color),
           NULLS(kestrel_switch_to_camera),
           NULLS(kestrel_set_cam_control_visiable),
           NULLS(kestrel_show_cut_line),
           NULLS(kestrel_auto_focus),
           NULLS(kestrel_template_create),
           NULLS(kestrel_mult_template_match),
           NULLS(kestrel_template_match),
           NULLS(kestrel_template_match_scell),
           NULLS(kestrel_wafer_edge),
           NULLS(kestrel_kerf_check),
           NULLS(kestrel_lg_kerf_check),
           NULLS(kestrel_fix_circle),
           NULLS(kestrel_get_real),
           NULLS(kestrel_get_ruler),
           NULLS(kestrel_get_real_by_pixel_point),
           NULLS(kestrel_get_target_cam_real),
           NULLS(kestrel_mw_cal_another_point_real),
           NULLS(kestrel_get_rotate_center),
           NULLS(kestrel_get_line_angle),
           NULLS(kestrel_get_point_after_rotate_real),
           NULLS(kestrel_get_timeout),
       }) {
    SCOPED_TRACE(name);
    check();
  }
  kestrel_set_console_sink(nullptr, nullptr);
}

}  // namespace
