// A header of the file layer.
#pragma once
