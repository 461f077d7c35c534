// Tests for the alarm catalogue and for signal-ID formatting.

#include "device/alarm_catalogue.h"
#include "device/signal_id.h"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// Global allocation counter. Only allocations made on a thread while its
// t_counting flag is set are counted, so gtest's own bookkeeping outside the
// measured region does not disturb the measurement.
namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};

void* CountedAlloc(std::size_t size) {
  if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  if (void* p = std::malloc(size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Counts the allocations made by the current thread during its lifetime.
class AllocationScope {
 public:
  AllocationScope() : start_(g_allocations.load()) { t_counting = true; }
  ~AllocationScope() { t_counting = false; }
  long Count() const { return g_allocations.load() - start_; }

 private:
  long start_;
};

struct ExpectedEntry {
  int slot;
  const char* name;
};

// The catalogue as the unit documents it, in catalogue order.
// clang-format off
const ExpectedEntry kExpected[] = {
    {1, "设备通讯状态"},
    {177, "第一路U1上上限"},
    {178, "第一路U1上限"},
    {179, "第一路U1下下限"},
    {180, "第一路U1下限"},
    {181, "第一路U2上上限"},
    {182, "第一路U2上限"},
    {183, "第一路U2下下限"},
    {184, "第一路U2下限"},
    {185, "第一路U3上上限"},
    {186, "第一路U3上限"},
    {187, "第一路U3下下限"},
    {188, "第一路U3下限"},
    {189, "第一路ULNavg上上限"},
    {190, "第一路ULNavg上限"},
    {191, "第一路ULNavg下下限"},
    {192, "第一路ULNavg下限"},
    {193, "第一路I1上上限"},
    {194, "第一路I1上限"},
    {195, "第一路I1下下限"},
    {196, "第一路I1下限"},
    {197, "第一路I2上上限"},
    {198, "第一路I2上限"},
    {199, "第一路I2下下限"},
    {200, "第一路I2下限"},
    {201, "第一路I3上上限"},
    {202, "第一路I3上限"},
    {203, "第一路I3下下限"},
    {204, "第一路I3下限"},
    {205, "第一路ILNavg上上限"},
    {206, "第一路ILNavg上限"},
    {207, "第一路ILNavg下下限"},
    {208, "第一路ILNavg下限"},
    {209, "第一路P1上上限"},
    {210, "第一路P1上限"},
    {211, "第一路P1下下限"},
    {212, "第一路P1下限"},
    {213, "第一路P2上上限"},
    {214, "第一路P2上限"},
    {215, "第一路P2下下限"},
    {216, "第一路P2下限"},
    {217, "第一路P3上上限"},
    {218, "第一路P3上限"},
    {219, "第一路P3下下限"},
    {220, "第一路P3下限"},
    {221, "第一路PLNavg上上限"},
    {222, "第一路PLNavg上限"},
    {223, "第一路PLNavg下下限"},
    {224, "第一路PLNavg下限"},
    {225, "第一路PF1上上限"},
    {226, "第一路PF1上限"},
    {227, "第一路PF1下下限"},
    {228, "第一路PF1下限"},
    {229, "第一路PF2上上限"},
    {230, "第一路PF2上限"},
    {231, "第一路PF2下下限"},
    {232, "第一路PF2下限"},
    {233, "第一路PF3上上限"},
    {234, "第一路PF3上限"},
    {235, "第一路PF3下下限"},
    {236, "第一路PF3下限"},
    {237, "第一路PFLNavg上上限"},
    {238, "第一路PFLNavg上限"},
    {239, "第一路PFLNavg下下限"},
    {240, "第一路PFLNavg下限"},
    {241, "第一路F上上限"},
    {242, "第一路F上限"},
    {243, "第一路F下下限"},
    {244, "第一路F下限"},
    {245, "第一路A相缺相"},
    {246, "第一路B相缺相"},
    {247, "第一路C相缺相"},
    {248, "第一路供电中断"},
    {249, "第一路In上上限"},
    {250, "第一路In上限"},
    {251, "第一路UNBL-U上上限"},
    {252, "第一路UNBL-U上限"},
    {253, "第一路UNBL-I上上限"},
    {254, "第一路UNBL-I上限"},
    {255, "第一路零地电压上上限"},
    {256, "第一路零地电压上限"},
    {257, "第一路主开关跳闸"},
    {258, "第一路主开关"},
    {259, "第一路防雷器开关"},
    {260, "第一路防雷状态"},
    {261, "第二路U1上上限"},
    {262, "第二路U1上限"},
    {263, "第二路U1下下限"},
    {264, "第二路U1下限"},
    {265, "第二路U2上上限"},
    {266, "第二路U2上限"},
    {267, "第二路U2下下限"},
    {268, "第二路U2下限"},
    {269, "第二路U3上上限"},
    {270, "第二路U3上限"},
    {271, "第二路U3下下限"},
    {272, "第二路U3下限"},
    {273, "第二路ULNavg上上限"},
    {274, "第二路ULNavg上限"},
    {275, "第二路ULNavg下下限"},
    {276, "第二路ULNavg下限"},
    {277, "第二路I1上上限"},
    {278, "第二路I1上限"},
    {279, "第二路I1下下限"},
    {280, "第二路I1下限"},
    {281, "第二路I2上上限"},
    {282, "第二路I2上限"},
    {283, "第二路I2下下限"},
    {284, "第二路I2下限"},
    {285, "第二路I3上上限"},
    {286, "第二路I3上限"},
    {287, "第二路I3下下限"},
    {288, "第二路I3下限"},
    {289, "第二路ILNavg上上限"},
    {290, "第二路ILNavg上限"},
    {291, "第二路ILNavg下下限"},
    {292, "第二路ILNavg下限"},
    {293, "第二路P1上上限"},
    {294, "第二路P1上限"},
    {295, "第二路P1下下限"},
    {296, "第二路P1下限"},
    {297, "第二路P2上上限"},
    {298, "第二路P2上限"},
    {299, "第二路P2下下限"},
    {300, "第二路P2下限"},
    {301, "第二路P3上上限"},
    {302, "第二路P3上限"},
    {303, "第二路P3下下限"},
    {304, "第二路P3下限"},
    {305, "第二路PLNavg上上限"},
    {306, "第二路PLNavg上限"},
    {307, "第二路PLNavg下下限"},
    {308, "第二路PLNavg下限"},
    {309, "第二路PF1上上限"},
    {310, "第二路PF1上限"},
    {311, "第二路PF1下下限"},
    {312, "第二路PF1下限"},
    {313, "第二路PF2上上限"},
    {314, "第二路PF2上限"},
    {315, "第二路PF2下下限"},
    {316, "第二路PF2下限"},
    {317, "第二路PF3上上限"},
    {318, "第二路PF3上限"},
    {319, "第二路PF3下下限"},
    {320, "第二路PF3下限"},
    {321, "第二路PFLNavg上上限"},
    {322, "第二路PFLNavg上限"},
    {323, "第二路PFLNavg下下限"},
    {324, "第二路PFLNavg下限"},
    {325, "第二路F上上限"},
    {326, "第二路F上限"},
    {327, "第二路F下下限"},
    {328, "第二路F下限"},
    {329, "第二路A相缺相"},
    {330, "第二路B相缺相"},
    {331, "第二路C相缺相"},
    {332, "第二路供电中断"},
    {333, "第二路In上上限"},
    {334, "第二路In上限"},
    {335, "第二路UNBL-U上上限"},
    {336, "第二路UNBL-U上限"},
    {337, "第二路UNBL-I上上限"},
    {338, "第二路UNBL-I上限"},
    {339, "第二路零地电压上上限"},
    {340, "第二路零地电压上限"},
    {341, "第二路主开关跳闸"},
    {342, "第二路主开关"},
    {343, "第二路防雷器开关"},
    {344, "第二路防雷状态"},
    {345, "支路电流模块1通讯告警"},
    {346, "支路电流模块2通讯告警"},
    {347, "支路电流模块3通讯告警"},
    {348, "支路电流模块4通讯告警"},
    {349, "支路电流模块5通讯告警"},
    {350, "支路电流模块6通讯告警"},
    {351, "支路电流模块7通讯告警"},
    {352, "支路电流模块8通讯告警"},
    {353, "支路电流模块9通讯告警"},
    {354, "支路电流模块10通讯告警"},
    {355, "支路电流模块11通讯告警"},
    {356, "支路电流模块12通讯告警"},
    {357, "支路开关模块1通讯告警"},
    {358, "支路开关模块2通讯告警"},
    {359, "支路开关模块3通讯告警"},
    {360, "支路开关模块4通讯告警"},
    {361, "支路开关模块5通讯告警"},
    {362, "支路开关模块6通讯告警"},
    {363, "支路开关模块7通讯告警"},
    {364, "支路开关模块8通讯告警"},
    {365, "支路开关模块9通讯告警"},
    {366, "支路开关模块10通讯告警"},
    {367, "支路开关模块11通讯告警"},
    {368, "支路开关模块12通讯告警"},
    {369, "温度1上上限告警"},
    {370, "温度1上限告警"},
    {371, "温度1下下限告警"},
    {372, "温度1下限告警"},
    {373, "温度2上上限告警"},
    {374, "温度2上限告警"},
    {375, "温度2下下限告警"},
    {376, "温度2下限告警"},
    {377, "湿度上上限告警"},
    {378, "湿度上限告警"},
    {379, "湿度下下限告警"},
    {380, "湿度下限告警"},
    {381, "1QF01支路开关OF分闸告警"},
    {382, "1QF02支路开关OF分闸告警"},
    {383, "1QF03支路开关OF分闸告警"},
    {384, "1QF04支路开关OF分闸告警"},
    {385, "1QF05支路开关OF分闸告警"},
    {386, "1QF06支路开关OF分闸告警"},
    {387, "1QF07支路开关OF分闸告警"},
    {388, "1QF08支路开关OF分闸告警"},
    {389, "2QF01支路开关OF分闸告警"},
    {390, "2QF02支路开关OF分闸告警"},
    {391, "2QF03支路开关OF分闸告警"},
    {392, "2QF04支路开关OF分闸告警"},
    {393, "2QF05支路开关OF分闸告警"},
    {394, "2QF06支路开关OF分闸告警"},
    {395, "2QF07支路开关OF分闸告警"},
    {396, "2QF08支路开关OF分闸告警"},
    {397, "1QF01支路开关SD分闸告警"},
    {398, "1QF02支路开关SD分闸告警"},
    {399, "1QF03支路开关SD分闸告警"},
    {400, "1QF04支路开关SD分闸告警"},
    {401, "1QF05支路开关SD分闸告警"},
    {402, "1QF06支路开关SD分闸告警"},
    {403, "1QF07支路开关SD分闸告警"},
    {404, "1QF08支路开关SD分闸告警"},
    {405, "2QF01支路开关SD分闸告警"},
    {406, "2QF02支路开关SD分闸告警"},
    {407, "2QF03支路开关SD分闸告警"},
    {408, "2QF04支路开关SD分闸告警"},
    {409, "2QF05支路开关SD分闸告警"},
    {410, "2QF06支路开关SD分闸告警"},
    {411, "2QF07支路开关SD分闸告警"},
    {412, "2QF08支路开关SD分闸告警"},
    {413, "1QF01-A电流越上上限"},
    {414, "1QF01-A电流越上限"},
    {415, "1QF01-A电流越下下限"},
    {416, "1QF01-A电流越下限"},
    {417, "1QF01-B电流越上上限"},
    {418, "1QF01-B电流越上限"},
    {419, "1QF01-B电流越下下限"},
    {420, "1QF01-B电流越下限"},
    {421, "1QF01-C电流越上上限"},
    {422, "1QF01-C电流越上限"},
    {423, "1QF01-C电流越下下限"},
    {424, "1QF01-C电流越下限"},
    {425, "1QF02-A电流越上上限"},
    {426, "1QF02-A电流越上限"},
    {427, "1QF02-A电流越下下限"},
    {428, "1QF02-A电流越下限"},
    {429, "1QF02-B电流越上上限"},
    {430, "1QF02-B电流越上限"},
    {431, "1QF02-B电流越下下限"},
    {432, "1QF02-B电流越下限"},
    {433, "1QF02-C电流越上上限"},
    {434, "1QF02-C电流越上限"},
    {435, "1QF02-C电流越下下限"},
    {436, "1QF02-C电流越下限"},
    {437, "1QF03-A电流越上上限"},
    {438, "1QF03-A电流越上限"},
    {439, "1QF03-A电流越下下限"},
    {440, "1QF03-A电流越下限"},
    {441, "1QF03-B电流越上上限"},
    {442, "1QF03-B电流越上限"},
    {443, "1QF03-B电流越下下限"},
    {444, "1QF03-B电流越下限"},
    {445, "1QF03-C电流越上上限"},
    {446, "1QF03-C电流越上限"},
    {447, "1QF03-C电流越下下限"},
    {448, "1QF03-C电流越下限"},
    {449, "1QF04-A电流越上上限"},
    {450, "1QF04-A电流越上限"},
    {451, "1QF04-A电流越下下限"},
    {452, "1QF04-A电流越下限"},
    {453, "1QF04-B电流越上上限"},
    {454, "1QF04-B电流越上限"},
    {455, "1QF04-B电流越下下限"},
    {456, "1QF04-B电流越下限"},
    {457, "1QF04-C电流越上上限"},
    {458, "1QF04-C电流越上限"},
    {459, "1QF04-C电流越下下限"},
    {460, "1QF04-C电流越下限"},
    {461, "1QF05-A电流越上上限"},
    {462, "1QF05-A电流越上限"},
    {463, "1QF05-A电流越下下限"},
    {464, "1QF05-A电流越下限"},
    {465, "1QF05-B电流越上上限"},
    {466, "1QF05-B电流越上限"},
    {467, "1QF05-B电流越下下限"},
    {468, "1QF05-B电流越下限"},
    {469, "1QF05-C电流越上上限"},
    {470, "1QF05-C电流越上限"},
    {471, "1QF05-C电流越下下限"},
    {472, "1QF05-C电流越下限"},
    {473, "1QF06-A电流越上上限"},
    {474, "1QF06-A电流越上限"},
    {475, "1QF06-A电流越下下限"},
    {476, "1QF06-A电流越下限"},
    {477, "1QF06-B电流越上上限"},
    {478, "1QF06-B电流越上限"},
    {479, "1QF06-B电流越下下限"},
    {480, "1QF06-B电流越下限"},
    {481, "1QF06-C电流越上上限"},
    {482, "1QF06-C电流越上限"},
    {483, "1QF06-C电流越下下限"},
    {484, "1QF06-C电流越下限"},
    {485, "1QF07-A电流越上上限"},
    {486, "1QF07-A电流越上限"},
    {487, "1QF07-A电流越下下限"},
    {488, "1QF07-A电流越下限"},
    {489, "1QF07-B电流越上上限"},
    {490, "1QF07-B电流越上限"},
    {491, "1QF07-B电流越下下限"},
    {492, "1QF07-B电流越下限"},
    {493, "1QF07-C电流越上上限"},
    {494, "1QF07-C电流越上限"},
    {495, "1QF07-C电流越下下限"},
    {496, "1QF07-C电流越下限"},
    {497, "1QF08-A电流越上上限"},
    {498, "1QF08-A电流越上限"},
    {499, "1QF08-A电流越下下限"},
    {500, "1QF08-A电流越下限"},
    {501, "1QF08-B电流越上上限"},
    {502, "1QF08-B电流越上限"},
    {503, "1QF08-B电流越下下限"},
    {504, "1QF08-B电流越下限"},
    {505, "1QF08-C电流越上上限"},
    {506, "1QF08-C电流越上限"},
    {507, "1QF08-C电流越下下限"},
    {508, "1QF08-C电流越下限"},
    {509, "2QF01-A电流越上上限"},
    {510, "2QF01-A电流越上限"},
    {511, "2QF01-A电流越下下限"},
    {512, "2QF01-A电流越下限"},
    {513, "2QF01-B电流越上上限"},
    {514, "2QF01-B电流越上限"},
    {515, "2QF01-B电流越下下限"},
    {516, "2QF01-B电流越下限"},
    {517, "2QF01-C电流越上上限"},
    {518, "2QF01-C电流越上限"},
    {519, "2QF01-C电流越下下限"},
    {520, "2QF01-C电流越下限"},
    {521, "2QF02-A电流越上上限"},
    {522, "2QF02-A电流越上限"},
    {523, "2QF02-A电流越下下限"},
    {524, "2QF02-A电流越下限"},
    {525, "2QF02-B电流越上上限"},
    {526, "2QF02-B电流越上限"},
    {527, "2QF02-B电流越下下限"},
    {528, "2QF02-B电流越下限"},
    {529, "2QF02-C电流越上上限"},
    {530, "2QF02-C电流越上限"},
    {531, "2QF02-C电流越下下限"},
    {532, "2QF02-C电流越下限"},
    {533, "2QF03-A电流越上上限"},
    {534, "2QF03-A电流越上限"},
    {535, "2QF03-A电流越下下限"},
    {536, "2QF03-A电流越下限"},
    {537, "2QF03-B电流越上上限"},
    {538, "2QF03-B电流越上限"},
    {539, "2QF03-B电流越下下限"},
    {540, "2QF03-B电流越下限"},
    {541, "2QF03-C电流越上上限"},
    {542, "2QF03-C电流越上限"},
    {543, "2QF03-C电流越下下限"},
    {544, "2QF03-C电流越下限"},
    {545, "2QF04-A电流越上上限"},
    {546, "2QF04-A电流越上限"},
    {547, "2QF04-A电流越下下限"},
    {548, "2QF04-A电流越下限"},
    {549, "2QF04-B电流越上上限"},
    {550, "2QF04-B电流越上限"},
    {551, "2QF04-B电流越下下限"},
    {552, "2QF04-B电流越下限"},
    {553, "2QF04-C电流越上上限"},
    {554, "2QF04-C电流越上限"},
    {555, "2QF04-C电流越下下限"},
    {556, "2QF04-C电流越下限"},
    {557, "2QF05-A电流越上上限"},
    {558, "2QF05-A电流越上限"},
    {559, "2QF05-A电流越下下限"},
    {560, "2QF05-A电流越下限"},
    {561, "2QF05-B电流越上上限"},
    {562, "2QF05-B电流越上限"},
    {563, "2QF05-B电流越下下限"},
    {564, "2QF05-B电流越下限"},
    {565, "2QF05-C电流越上上限"},
    {566, "2QF05-C电流越上限"},
    {567, "2QF05-C电流越下下限"},
    {568, "2QF05-C电流越下限"},
    {569, "2QF06-A电流越上上限"},
    {570, "2QF06-A电流越上限"},
    {571, "2QF06-A电流越下下限"},
    {572, "2QF06-A电流越下限"},
    {573, "2QF06-B电流越上上限"},
    {574, "2QF06-B电流越上限"},
    {575, "2QF06-B电流越下下限"},
    {576, "2QF06-B电流越下限"},
    {577, "2QF06-C电流越上上限"},
    {578, "2QF06-C电流越上限"},
    {579, "2QF06-C电流越下下限"},
    {580, "2QF06-C电流越下限"},
    {581, "2QF07-A电流越上上限"},
    {582, "2QF07-A电流越上限"},
    {583, "2QF07-A电流越下下限"},
    {584, "2QF07-A电流越下限"},
    {585, "2QF07-B电流越上上限"},
    {586, "2QF07-B电流越上限"},
    {587, "2QF07-B电流越下下限"},
    {588, "2QF07-B电流越下限"},
    {589, "2QF07-C电流越上上限"},
    {590, "2QF07-C电流越上限"},
    {591, "2QF07-C电流越下下限"},
    {592, "2QF07-C电流越下限"},
    {593, "2QF08-A电流越上上限"},
    {594, "2QF08-A电流越上限"},
    {595, "2QF08-A电流越下下限"},
    {596, "2QF08-A电流越下限"},
    {597, "2QF08-B电流越上上限"},
    {598, "2QF08-B电流越上限"},
    {599, "2QF08-B电流越下下限"},
    {600, "2QF08-B电流越下限"},
    {601, "2QF08-C电流越上上限"},
    {602, "2QF08-C电流越上限"},
    {603, "2QF08-C电流越下下限"},
    {604, "2QF08-C电流越下限"},
};
// clang-format on

constexpr std::size_t kEntryCount = 429;
static_assert(sizeof(kExpected) / sizeof(kExpected[0]) == kEntryCount, "literal table size");

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int extra;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= static_cast<std::size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
    if (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

std::string Id(unsigned short counter) {
  std::string out;
  FormatSignalId(counter, &out);
  return out;
}

TEST(AlarmCatalogueTest, MatchesDocumentedCatalogueEntryByEntry) {
  const std::vector<AlarmEntry>& catalogue = AlarmCatalogue();
  ASSERT_EQ(catalogue.size(), kEntryCount);
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    SCOPED_TRACE("position " + std::to_string(i + 1));
    EXPECT_EQ(catalogue[i].slot, kExpected[i].slot);
    EXPECT_EQ(catalogue[i].name, kExpected[i].name);
    EXPECT_EQ(catalogue[i].normal, i == 0 ? 1.0f : 0.0f);
    EXPECT_FALSE(std::signbit(catalogue[i].normal));
  }
}

TEST(AlarmCatalogueTest, SlotsAreOneThenContiguous177To604) {
  const std::vector<AlarmEntry>& catalogue = AlarmCatalogue();
  ASSERT_EQ(catalogue.size(), kEntryCount);
  std::set<int> slots;
  for (const AlarmEntry& e : catalogue) slots.insert(e.slot);
  EXPECT_EQ(slots.size(), kEntryCount) << "slots repeat";

  std::set<int> expected = {1};
  for (int s = 177; s <= 604; ++s) expected.insert(s);
  EXPECT_EQ(slots, expected);

  for (std::size_t i = 1; i < kEntryCount; ++i) {
    EXPECT_EQ(catalogue[i].slot, static_cast<int>(i + 1) + 175) << "position " << i + 1;
  }
}

TEST(AlarmCatalogueTest, FirstAndLastEntries) {
  const std::vector<AlarmEntry>& catalogue = AlarmCatalogue();
  ASSERT_EQ(catalogue.size(), kEntryCount);
  EXPECT_EQ(catalogue.front().slot, 1);
  EXPECT_EQ(catalogue.front().name, "设备通讯状态");
  EXPECT_EQ(catalogue.front().normal, 1.0f);
  EXPECT_EQ(catalogue[1].slot, 177);
  EXPECT_EQ(catalogue[1].name, "第一路U1上上限");
  EXPECT_EQ(catalogue.back().slot, 604);
  EXPECT_EQ(catalogue.back().name, "2QF08-C电流越下限");
  EXPECT_EQ(catalogue.back().normal, 0.0f);
}

TEST(AlarmCatalogueTest, NamesAreNonEmptyValidUtf8) {
  for (const AlarmEntry& e : AlarmCatalogue()) {
    EXPECT_FALSE(e.name.empty()) << "slot " << e.slot;
    EXPECT_TRUE(IsValidUtf8(e.name)) << "slot " << e.slot;
  }
}

TEST(AlarmCatalogueTest, BuiltOnceAndSharedAcrossThreads) {
  constexpr int kThreads = 4;
  const std::vector<AlarmEntry>* seen[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] { seen[t] = &AlarmCatalogue(); });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen[t], &AlarmCatalogue());
  }
  EXPECT_EQ(AlarmCatalogue().size(), kEntryCount);
}

TEST(AlarmCatalogueTest, CategoryIsSharedAndAllocationFree) {
  EXPECT_STREQ(kAlarmCategory, "专用空调其他告警");
  const std::string& category = AlarmCategory();
  EXPECT_EQ(category, "专用空调其他告警");
  EXPECT_TRUE(IsValidUtf8(category));

  long allocations;
  const std::string* again;
  {
    AllocationScope scope;
    again = &AlarmCategory();
    allocations = scope.Count();
  }
  EXPECT_EQ(again, &category);
  EXPECT_EQ(allocations, 0);
}

TEST(SignalIdTest, FormatsDocumentedExamples) {
  EXPECT_EQ(Id(0), "120830170000");
  EXPECT_EQ(Id(1), "120830170010");
  EXPECT_EQ(Id(12), "120830170120");
  EXPECT_EQ(Id(429), "120830174290");
  EXPECT_EQ(Id(998), "120830179980");
  EXPECT_EQ(Id(999), "120830179990");
  EXPECT_EQ(Id(1000), "1208301710000");
  EXPECT_EQ(Id(65535), "12083017655350");
  EXPECT_EQ(Id(65535).size(), kMaxSignalIdLength);
}

TEST(SignalIdTest, ReplacesPreviousContent) {
  std::string out(40, 'x');
  FormatSignalId(7, &out);
  EXPECT_EQ(out, "120830170070");
  FormatSignalId(65535, &out);
  EXPECT_EQ(out, "12083017655350");
  FormatSignalId(5, &out);
  EXPECT_EQ(out, "120830170050");
}

TEST(SignalIdTest, AllocationCounterSeesAllocations) {
  // Guards the zero-allocation checks below against a counter that never counts.
  long allocations;
  {
    AllocationScope scope;
    void* p = ::operator new(64);
    ::operator delete(p);
    allocations = scope.Count();
  }
  EXPECT_EQ(allocations, 1);
}

TEST(SignalIdTest, DoesNotAllocateWithReservedCapacity) {
  std::string reserved;
  reserved.reserve(15);
  std::string fresh;
  ASSERT_GE(fresh.capacity(), kMaxSignalIdLength);

  // Every counter value, including the longest IDs, into both strings.
  std::string last_reserved;
  std::string last_fresh;
  long allocations;
  {
    AllocationScope scope;
    for (unsigned c = 0; c <= 65535; ++c) {
      FormatSignalId(static_cast<unsigned short>(c), &reserved);
      FormatSignalId(static_cast<unsigned short>(c), &fresh);
    }
    allocations = scope.Count();
  }
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(reserved, "12083017655350");
  EXPECT_EQ(fresh, "12083017655350");
}

}  // namespace
