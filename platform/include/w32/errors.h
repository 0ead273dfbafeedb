/* Placeholder: filled by the kernel half of the platform layer. */
#pragma once
