// lp_text: the UTF-8 to Shift_JIS conversion of the texts the system
// writes.  See lp_text.h.
#include "lp_text.h"

namespace {

// Every character of the library's and the program's texts, ascending by
// code point, with its CP932 code.  A new character in a text is added
// here; the test text_table names a missing one and checks every code
// against iconv.
const text_char table[] = {
    {0x03B1, 0x83BF}, {0x03B7, 0x83C5}, {0x03C0, 0x83CE}, {0x2605, 0x819A},  // α η π ★
    {0x3000, 0x8140}, {0x3002, 0x8142}, {0x3044, 0x82A2}, {0x304B, 0x82A9},  // 　 。 い か
    {0x304C, 0x82AA}, {0x3064, 0x82C2}, {0x3067, 0x82C5}, {0x306A, 0x82C8},  // が つ で な
    {0x306E, 0x82CC}, {0x3089, 0x82E7}, {0x30A1, 0x8340}, {0x30A4, 0x8343},  // の ら ァ イ
    {0x30AF, 0x834E}, {0x30B0, 0x834F}, {0x30B5, 0x8354}, {0x30BA, 0x8359},  // ク グ サ ズ
    {0x30C1, 0x8360}, {0x30C3, 0x8362}, {0x30C8, 0x8367}, {0x30D4, 0x8373},  // チ ッ ト ピ
    {0x30D5, 0x8374}, {0x30D9, 0x8378}, {0x30DC, 0x837B}, {0x30DE, 0x837D},  // フ ベ ボ マ
    {0x30E9, 0x8389}, {0x30EB, 0x838B}, {0x30F3, 0x8393}, {0x4E0D, 0x9573},  // ラ ル ン 不
    {0x4FC2, 0x8C57}, {0x5024, 0x926C}, {0x5143, 0x8CB3}, {0x5148, 0x90E6},  // 係 値 元 先
    {0x5165, 0x93FC}, {0x5185, 0x93E0}, {0x51FA, 0x8F6F}, {0x5206, 0x95AA},  // 入 内 出 分
    {0x5217, 0x97F1}, {0x524D, 0x914F}, {0x529B, 0x97CD}, {0x53F3, 0x8945},  // 列 前 力 右
    {0x53F7, 0x8D86}, {0x540D, 0x96BC}, {0x57FA, 0x8AEE}, {0x5909, 0x95CF},  // 号 名 基 変
    {0x5B50, 0x8E71}, {0x5BFE, 0x91CE}, {0x5DEE, 0x8DB7}, {0x5E95, 0x92EA},  // 子 対 差 底
    {0x5F8C, 0x8CE3}, {0x6210, 0x90AC}, {0x63DB, 0x8AB7}, {0x6570, 0x9094},  // 後 成 換 数
    {0x6709, 0x974C}, {0x691C, 0x8C9F}, {0x6BD4, 0x94E4}, {0x7565, 0x97AA},  // 有 検 比 略
    {0x756A, 0x94D4}, {0x7701, 0x8FC8}, {0x7A4D, 0x90CF}, {0x7B97, 0x8E5A},  // 番 省 積 算
    {0x7F6E, 0x9275}, {0x884C, 0x8D73}, {0x88DC, 0x95E2}, {0x898B, 0x8CA9},  // 置 行 補 見
    {0x89D2, 0x8A70}, {0x89E3, 0x89F0}, {0x8A08, 0x8C76}, {0x8AA4, 0x8CEB},  // 角 解 計 誤
    {0x8DB3, 0x91AB}, {0x8FBA, 0x95D3}, {0x9650, 0x8CC0}, {0x982D, 0x93AA},  // 足 辺 限 頭
    {0xFF11, 0x8250}, {0xFF1A, 0x8146}, {0xFF1D, 0x8181}, {0xFF22, 0x8261},  // １ ： ＝ Ｂ
    {0xFF2C, 0x826B}, {0xFF32, 0x8271}, {0xFF35, 0x8274}, {0xFF41, 0x8281},  // Ｌ Ｒ Ｕ ａ
    {0xFF52, 0x8292}, {0xFF55, 0x8295}, {0xFF58, 0x8298}, {0xFF59, 0x8299},  // ｒ ｕ ｘ ｙ
};

const size_t table_n = sizeof table / sizeof table[0];

// The CP932 code of code point u, or 0 when the table lacks it (binary search).
unsigned cp932_of(uint32_t u) {
  size_t lo = 0, hi = table_n;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (table[mid].ucs < u)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < table_n && table[lo].ucs == u ? table[lo].cp932 : 0;
}

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence of two or three bytes at s[0 ..
// n-1] and its code point in *u; 0 when s does not start one.  Longer
// sequences hold no character of the table and count as none.
size_t utf8_seq(const unsigned char* s, size_t n, uint32_t* u) {
  if (s[0] >= 0xC2 && s[0] <= 0xDF && n >= 2 && continuation(s[1])) {
    *u = (uint32_t)(s[0] & 0x1F) << 6 | (s[1] & 0x3F);
    return 2;
  }
  if ((s[0] & 0xF0) == 0xE0 && n >= 3 && continuation(s[1]) && continuation(s[2])) {
    *u = (uint32_t)(s[0] & 0x0F) << 12 | (uint32_t)(s[1] & 0x3F) << 6 | (s[2] & 0x3F);
    return *u >= 0x800 ? 3 : 0;  // an overlong form is no character
  }
  return 0;
}

}  // namespace

const text_char* text_table(size_t* count) {
  *count = table_n;
  return table;
}

size_t text_cp932(char* s, size_t n) {
  unsigned char* p = reinterpret_cast<unsigned char*>(s);
  size_t in = 0, out = 0;
  while (in < n) {
    uint32_t u = 0;
    size_t len = p[in] >= 0x80 ? utf8_seq(p + in, n - in, &u) : 0;
    unsigned code = len != 0 ? cp932_of(u) : 0;
    if (code != 0) {
      p[out++] = (unsigned char)(code >> 8);
      p[out++] = (unsigned char)(code & 0xFF);
      in += len;
    } else {
      p[out++] = p[in++];
    }
  }
  return out;
}
