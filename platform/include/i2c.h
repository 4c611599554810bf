// The SoC's I2C master driver.
#ifndef CAMLINK_PLATFORM_I2C_H
#define CAMLINK_PLATFORM_I2C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct i2c_bus;     // opaque
struct i2c_device;  // opaque

// Message flags.
#define I2C_M_WRITE 0x0u
#define I2C_M_READ 0x1u
#define I2C_M_STOP 0x4u  // end with a stop condition; without it the next message repeats start

struct i2c_msg {
  uint32_t flags;
  uint32_t len;
  uint8_t* buf;
};

// NULL on failure.
struct i2c_bus* i2c_bus_init(int busNumber);
struct i2c_device* i2c_create_device(struct i2c_bus* bus, uint8_t address7, uint32_t speedHz);
void i2c_destroy_device(struct i2c_device* dev);
// Runs the messages in order as one transfer. 0 on success; negative when the device did not
// acknowledge (I2C_ERR_NACK) or the arguments are wrong (I2C_ERR_ARG).
#define I2C_ERR_NACK (-1)
#define I2C_ERR_ARG (-2)
int i2c_transfer(struct i2c_device* dev, struct i2c_msg* msgs, int count);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_I2C_H
