#pragma once

// The product constants every user-visible text is built from. Texts carry the
// placeholders below and get these values when they are loaded.
namespace mirel {

inline constexpr char kProductName[] = "Mirel VELOXA Wireless Gaming Mouse";
inline constexpr char kPackageVersion[] = "14.2.7";

inline constexpr char kProductNamePlaceholder[] = "%%DFU_PRODUCT_NAME%%";
inline constexpr char kPackageVersionPlaceholder[] = "%%DFU_PACKAGE_VERSION%%";

}  // namespace mirel
