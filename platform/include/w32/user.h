/* Placeholder: filled by the windows-and-messages half of the platform layer. */
#pragma once
