// The files compiled into the program. "collage.cfg" holds the collage
// layouts (cells in percent of the picture); its text is kept byte for byte.
#include "evidence/embedded.h"

#include <cstring>

namespace {

// TAB-indented, one key per line; 1082 bytes.
constexpr char kCollageCfg[] = R"cfg([
	{
		"type": 1,
		"cells":
		[
			{
				"x": 0,
				"y": 0,
				"width": 100,
				"height": 100
			}
		]
	},
	{
		"type": 2,
		"cells":
		[
			{
				"x": 0,
				"y": 0,
				"width": 33.33,
				"height": 40
			},
			{
				"x": 33.33,
				"y": 0,
				"width": 33.33,
				"height": 40
			},
			{
				"x": 66.66,
				"y": 0,
				"width": 33.33,
				"height": 40
			},
			{
				"x": 0,
				"y": 40,
				"width": 50,
				"height": 60
			},
			{
				"x": 50,
				"y": 40,
				"width": 50,
				"height": 60
			}
		]
	},
	{
		"type": 3,
		"cells":
		[
			{
				"x": 0,
				"y": 0,
				"width": 50,
				"height": 50
			},
			{
				"x": 50,
				"y": 0,
				"width": 50,
				"height": 50
			},
			{
				"x": 0,
				"y": 50,
				"width": 50,
				"height": 50
			},
			{
				"x": 50,
				"y": 50,
				"width": 50,
				"height": 50
			}
		]
	},
	{
		"type": 4,
		"cells":
		[
			{
				"x": 0,
				"y": 0,
				"width": 74,
				"height": 100
			},
			{
				"x": 74,
				"y": 0,
				"width": 26,
				"height": 50
			},
			{
				"x": 74,
				"y": 50,
				"width": 26,
				"height": 50
			}
		]
	}
]
)cfg";

}  // namespace

const EmbeddedFile embedded_files[] = {
    {"collage.cfg", kCollageCfg, sizeof kCollageCfg - 1},
    {nullptr, nullptr, 0},
};

const char* find_embedded_file(const char* name, std::size_t* size) {
  if (!name) return nullptr;
  for (const EmbeddedFile* f = embedded_files; f->name; ++f) {
    if (std::strcmp(f->name, name) == 0) {
      if (size) *size = f->size;
      return f->data;
    }
  }
  return nullptr;
}

const char* find_embedded_file(const char* name) { return find_embedded_file(name, nullptr); }
