// The engines' byte helpers are those of the on-disk structures library; this
// header makes them visible inside namespace fsprobe.
#pragma once

#include <ondisk/bytes.h>

namespace fsprobe {

using ondisk::i16;
using ondisk::i32;
using ondisk::i64;
using ondisk::i8;
using ondisk::u16;
using ondisk::u32;
using ondisk::u64;
using ondisk::u8;

using ondisk::load_be16;
using ondisk::load_be32;
using ondisk::load_be64;
using ondisk::load_le16;
using ondisk::load_le32;
using ondisk::load_le64;
using ondisk::store_be16;
using ondisk::store_be32;
using ondisk::store_be64;
using ondisk::store_le16;
using ondisk::store_le32;
using ondisk::store_le64;

using ondisk::ByteView;
using ondisk::in_bounds;
using ondisk::is_power_of_two;

} // namespace fsprobe
