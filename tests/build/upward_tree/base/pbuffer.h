// A header of the base services.
#pragma once
