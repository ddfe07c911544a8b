// The words of the load warnings that several readers give, so that each is said the same way.
#pragma once

constexpr char kTransparencyWarning[] = "has transparency, which is not kept: the picture comes out opaque.";
constexpr char kAnimationWarning[] = "has several frames or pages; only the first is used.";
