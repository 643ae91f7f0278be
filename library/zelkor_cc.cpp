// zelkor_cc
