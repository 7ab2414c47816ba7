// Rays for the oracle tests: coherent camera packets and scattered
// single-lane rays over a scene's bounds.
#ifndef ZRV_TEST_ORACLE_RAYS_H
#define ZRV_TEST_ORACLE_RAYS_H

#include "PacketTestUtil.h"
#include "zrvSceneMesh.h"

#include <vector>

// 2x2 pixel packets of a pinhole camera looking at the scene from outside.
std::vector<RayPacket> camera_packets(const zrv::scenes::Bounds& b, int width, int height,
                                      float azimuth);

// Single-lane rays from random points in and around the scene, half of them
// aimed at a point of a random triangle, a quarter with zero direction
// components; the other lanes hold garbage.
std::vector<RayPacket> random_single_lane_packets(const std::vector<triAccel>& triangles,
                                                  const zrv::scenes::Bounds& b, int count,
                                                  unsigned seed);

#endif // ZRV_TEST_ORACLE_RAYS_H
