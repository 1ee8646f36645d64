# Sourced by build-sys and wincheck: the mingw-w64 toolchain and flags for the driver on one
# architecture. Usage: mingw_driver_setup x86|x64; sets TRIPLE, CXX, OBJDUMP, NM, DLLTOOL, WINDRES,
# ENTRY, IMAGE_BASE, PE_FORMAT, CXXFLAGS (array).
mingw_driver_setup() {
  local inc=/usr/share/mingw-w64/include
  case $1 in
    x86)
      TRIPLE=i686-w64-mingw32
      ENTRY=_DriverEntry@8
      IMAGE_BASE=0x10000
      PE_FORMAT=pei-i386
      # No unwind tables: x86 kernel code has no use for DWARF unwinding.
      local arch_flags=(-fno-asynchronous-unwind-tables)
      ;;
    x64)
      TRIPLE=x86_64-w64-mingw32
      ENTRY=DriverEntry
      IMAGE_BASE=0x140000000
      PE_FORMAT=pei-x86-64
      # The x64 kernel unwinds through .pdata/.xdata, which mingw emits by default.
      local arch_flags=()
      ;;
    *)
      echo "mingw_driver_setup: unknown architecture $1 (x86 or x64)" >&2
      return 1
      ;;
  esac
  [[ -d $inc/ddk ]] || inc=/usr/$TRIPLE/include
  CXX=$TRIPLE-g++
  OBJDUMP=$TRIPLE-objdump
  NM=$TRIPLE-nm
  DLLTOOL=$TRIPLE-dlltool
  WINDRES=$TRIPLE-windres
  # min-pagesize=0: KeGetCurrentThread and friends read fixed fs:/gs: offsets, which GCC
  # would otherwise take for accesses through a null pointer.
  CXXFLAGS=(-std=c++17 -O2 -fno-exceptions -fno-rtti -fno-threadsafe-statics -ffreestanding
            -fno-stack-protector --param=min-pagesize=0 "${arch_flags[@]}"
            -Wall -Wextra -Werror -Wno-multichar
            -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
            -isystem "$inc/ddk" -isystem "$inc")
}
